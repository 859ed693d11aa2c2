#include "tests/support/child_process.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace reflector::test {

child_process child_process::start(const std::string& path, const std::vector<std::string>& args,
                                   const std::vector<std::string>& environment,
                                   const std::function<void()>& before_exec) {
  std::vector<std::string> argv_strings{path};
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_strings) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_strings = environment;
  std::vector<char*> envp;
  for (auto& e : env_strings) envp.push_back(e.data());
  envp.push_back(nullptr);

  const pid_t pid = fork();
  if (pid == -1) throw std::runtime_error("fork failed");
  if (pid == 0) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (before_exec) before_exec();
    execve(path.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  return child_process(pid);
}

child_process::child_process(child_process&& other) noexcept
    : pid_(other.pid_), status_(other.status_) {
  other.status_ = 0;  // the moved-from object has nothing left to reap
}

child_process::~child_process() {
  if (!status_) {
    kill(pid_, SIGKILL);
    int status;
    waitpid(pid_, &status, 0);
  }
}

void child_process::signal(int signal_number) const {
  if (!status_) kill(pid_, signal_number);
}

std::optional<int> child_process::wait_for_exit(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!status_) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      status_ = status;
    } else if (std::chrono::steady_clock::now() >= deadline) {
      break;
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  return status_;
}

bool child_process::running() { return !wait_for_exit(std::chrono::milliseconds(0)).has_value(); }

std::string describe_status(int status) {
  if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
  return "status " + std::to_string(status);
}

std::vector<std::string> sanitizer_settings() {
  std::vector<std::string> settings;
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"}) {
    if (const char* value = std::getenv(name)) settings.push_back(std::string(name) + "=" + value);
  }
  return settings;
}

output_file::output_file() : file_(std::tmpfile()) {
  if (file_ == nullptr) throw std::runtime_error("tmpfile failed");
}

output_file::~output_file() { std::fclose(file_); }

int output_file::fd() const { return fileno(file_); }

std::string output_file::text() const {
  std::string text;
  char chunk[4096];
  for (off_t at = 0;;) {
    const ssize_t got = pread(fd(), chunk, sizeof chunk, at);
    if (got <= 0) return text;
    text.append(chunk, static_cast<std::size_t>(got));
    at += got;
  }
}

}  // namespace reflector::test
