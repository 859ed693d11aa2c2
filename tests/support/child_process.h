// A program started by a test, killed and reaped when the test is done.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace reflector::test {

class child_process {
 public:
  // Starts path with argv[0] = path followed by args and the given
  // environment (empty: an empty environment). before_exec, if set, runs in
  // the child just before exec (for rlimits and the like); it must only make
  // async-signal-safe calls. Throws std::runtime_error if fork fails.
  static child_process start(const std::string& path, const std::vector<std::string>& args = {},
                             const std::vector<std::string>& environment = {},
                             const std::function<void()>& before_exec = {});

  child_process(child_process&& other) noexcept;
  child_process& operator=(child_process&&) = delete;
  ~child_process();  // SIGKILL and reap if still running

  pid_t pid() const { return pid_; }
  void signal(int signal_number) const;

  // The raw wait status once the child has ended within the timeout.
  std::optional<int> wait_for_exit(std::chrono::milliseconds timeout);
  bool running();

 private:
  explicit child_process(pid_t pid) : pid_(pid) {}
  pid_t pid_;
  bool reaped_ = false;
};

// Describes a wait status for test failure messages: "exit 0", "signal 6".
std::string describe_status(int status);

}  // namespace reflector::test
