#include "tests/support/child_process.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

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
    : pid_(other.pid_), reaped_(other.reaped_) {
  other.reaped_ = true;
}

child_process::~child_process() {
  if (!reaped_) {
    kill(pid_, SIGKILL);
    int status;
    waitpid(pid_, &status, 0);
  }
}

void child_process::signal(int signal_number) const { kill(pid_, signal_number); }

std::optional<int> child_process::wait_for_exit(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    int status = 0;
    const pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      reaped_ = true;
      return status;
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool child_process::running() {
  if (reaped_) return false;
  return !wait_for_exit(std::chrono::milliseconds(0)).has_value();
}

std::string describe_status(int status) {
  if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
  return "status " + std::to_string(status);
}

}  // namespace reflector::test
