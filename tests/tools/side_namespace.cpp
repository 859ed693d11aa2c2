#include "tests/tools/side_namespace.h"

#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace reflector::test {
namespace {

int open_current_namespace() {
  const int fd = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  if (fd == -1) throw std::runtime_error(std::string("open ns/net: ") + std::strerror(errno));
  return fd;
}

void enter(int fd) {
  if (setns(fd, CLONE_NEWNET) == -1) {
    throw std::runtime_error(std::string("setns: ") + std::strerror(errno));
  }
}

}  // namespace

void run_command(const std::vector<std::string>& argv) {
  std::vector<std::string> copies = argv;
  std::vector<char*> pointers;
  for (auto& a : copies) pointers.push_back(a.data());
  pointers.push_back(nullptr);
  std::string line;
  for (const auto& a : argv) line += a + " ";
  pid_t pid;
  if (posix_spawnp(&pid, pointers[0], nullptr, nullptr, pointers.data(), environ) != 0) {
    throw std::runtime_error("cannot run: " + line);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw std::runtime_error("failed: " + line);
  }
}

side_namespace::side_namespace() {
  const int home = open_current_namespace();
  if (unshare(CLONE_NEWNET) == -1) {
    close(home);
    throw std::runtime_error(std::string("unshare: ") + std::strerror(errno));
  }
  fd_ = open_current_namespace();
  try {
    run_command({"ip", "link", "set", "lo", "up"});
  } catch (...) {
    enter(home);
    close(home);
    close(fd_);
    throw;
  }
  enter(home);
  close(home);
}

side_namespace::~side_namespace() { close(fd_); }

std::string side_namespace::path() const {
  return "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(fd_);
}

side_namespace::inside::inside(const side_namespace& where) : home_(open_current_namespace()) {
  enter(where.fd_);
}

side_namespace::inside::~inside() {
  setns(home_, CLONE_NEWNET);
  close(home_);
}

}  // namespace reflector::test
