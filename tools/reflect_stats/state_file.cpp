#include "tools/reflect_stats/state_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace reflector::tools {
namespace {

[[noreturn]] void fail(const std::string& what, const std::string& path, int error) {
  throw std::runtime_error(what + " " + path + ": " + std::strerror(error));
}

std::string directory_of(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string uid_text(uid_t uid) { return "uid " + std::to_string(uid); }

// Makes the directory if missing; refuses one that another user could
// change under us, with what to do about it.
void ensure_private_directory(const std::string& directory) {
  if (mkdir(directory.c_str(), 0700) == -1 && errno != EEXIST) fail("cannot make directory", directory, errno);
  struct stat status {};
  if (lstat(directory.c_str(), &status) == -1) fail("cannot examine", directory, errno);
  if (!S_ISDIR(status.st_mode)) throw std::runtime_error(directory + " is not a directory");
  const bool shared = (status.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (status.st_mode & S_ISVTX) == 0;
  if (status.st_uid != geteuid() && status.st_uid != 0) {
    throw std::runtime_error(directory + " belongs to another user (" + uid_text(status.st_uid) +
                             "): remove it, or name a state file elsewhere with --state-file");
  }
  if (shared) throw std::runtime_error(directory + " may be written by other users");
}

// The state file, opened without following a link and without waiting on
// a FIFO, is ours: a regular file of this user that no one else may write.
void check_state_file(int fd, const std::string& path) {
  struct stat status {};
  if (fstat(fd, &status) == -1) fail("cannot examine", path, errno);
  if (!S_ISREG(status.st_mode)) throw std::runtime_error(path + " is not a regular file");
  if (status.st_uid != geteuid()) throw std::runtime_error(path + " belongs to another user (" + uid_text(status.st_uid) + ")");
  if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) throw std::runtime_error(path + " may be written by other users");
}

void write_all(int fd, const std::string& text, const std::string& path) {
  std::size_t written = 0;
  while (written < text.size()) {
    const ssize_t now = write(fd, text.data() + written, text.size() - written);
    if (now == -1) {
      if (errno == EINTR) continue;
      fail("cannot write", path, errno);
    }
    written += static_cast<std::size_t>(now);
  }
}

}  // namespace

std::string default_state_file() {
  const char* const file = "check-state";
  if (const char* runtime = std::getenv("RUNTIME_DIRECTORY"); runtime && *runtime == '/') {
    // systemd may list several directories, separated by colons.
    return std::string(runtime).substr(0, std::string(runtime).find(':')) + "/" + file;
  }
  if (geteuid() == 0) return std::string("/run/reflect-stats/") + file;
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime == '/') {
    return std::string(runtime) + "/reflect-stats/" + file;
  }
  // The login manager's directory for this user, which no other user can
  // make first, where there is one; /tmp only as a last resort.
  const std::string user_runtime = "/run/user/" + std::to_string(geteuid());
  struct stat status {};
  if (lstat(user_runtime.c_str(), &status) == 0 && S_ISDIR(status.st_mode) && status.st_uid == geteuid()) {
    return user_runtime + "/reflect-stats/" + file;
  }
  return "/tmp/reflect-stats-" + std::to_string(geteuid()) + "/" + file;
}

std::optional<std::string> read_state_file(const std::string& path) {
  ensure_private_directory(directory_of(path));
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd == -1) {
    if (errno == ENOENT) return std::nullopt;
    fail("cannot read", path, errno);
  }
  try {
    check_state_file(fd, path);
  } catch (...) {
    close(fd);
    throw;
  }
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got == -1 && errno == EINTR) continue;
    if (got == -1) {
      const int error = errno;
      close(fd);
      fail("cannot read", path, error);
    }
    if (got == 0) break;
    text.append(buffer, static_cast<std::size_t>(got));
    if (text.size() > (1u << 20)) break;  // ours are a few lines: anything larger is not
  }
  close(fd);
  return text;
}

void replace_state_file(const std::string& path, const std::string& text) {
  ensure_private_directory(directory_of(path));
  const std::string temporary = path + ".new." + std::to_string(getpid());
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd == -1) fail("cannot write", temporary, errno);
  try {
    write_all(fd, text, temporary);
  } catch (...) {
    close(fd);
    unlink(temporary.c_str());
    throw;
  }
  close(fd);
  if (rename(temporary.c_str(), path.c_str()) == -1) {
    const int error = errno;
    unlink(temporary.c_str());
    fail("cannot replace", path, error);
  }
}

}  // namespace reflector::tools
