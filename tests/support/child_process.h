// A program started by a test, killed and reaped when the test is done.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdio>
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
  // Does nothing once the child is reaped: its pid may be another's by then.
  void signal(int signal_number) const;

  // The raw wait status once the child has ended within the timeout; once
  // reaped, the same status at every later call.
  std::optional<int> wait_for_exit(std::chrono::milliseconds timeout);
  bool running();

 private:
  explicit child_process(pid_t pid) : pid_(pid) {}
  pid_t pid_;
  std::optional<int> status_;
};

// Describes a wait status for test failure messages: "exit 0", "signal 6".
std::string describe_status(int status);

// Whichever of ASAN_OPTIONS, UBSAN_OPTIONS, LSAN_OPTIONS and TSAN_OPTIONS
// this process has, as environment entries: given to a child of a
// sanitizer build, they make it report and halt as the test run asked.
std::vector<std::string> sanitizer_settings();

// A temporary file a child's output goes to (dup2 its fd() onto the
// child's stdout or stderr), read back whole at any moment.
class output_file {
 public:
  output_file();  // throws std::runtime_error when no file can be made
  ~output_file();
  output_file(const output_file&) = delete;
  output_file& operator=(const output_file&) = delete;

  int fd() const;
  std::string text() const;  // everything written so far

 private:
  std::FILE* file_;
};

}  // namespace reflector::test
