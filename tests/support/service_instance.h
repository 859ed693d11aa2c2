// reflectord as every test that needs one starts it. The service runs in
// the calling thread's network namespace: the test's own fresh one
// (REFLECTOR_ENTER_NETNS_OR_SKIP, first), or a side_namespace the thread is
// inside of. Its stdin is /dev/null, its stdout and stderr go to one file
// the test can read, and it holds no descriptor of the test's, so that
// descriptor limits count only its own.
#pragma once

#include <signal.h>
#include <sys/resource.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/child_process.h"

namespace reflector::test {

struct service_options {
  // The program to run; empty: the reflectord of this build.
  std::string program{};
  std::vector<std::string> arguments{};
  // The service's environment (such as LD_PRELOAD=<shim>), followed by the
  // test's sanitizer_settings(); nothing else of the test's environment.
  std::vector<std::string> environment{};
  std::optional<rlim_t> descriptor_limit{};  // RLIMIT_NOFILE for the service
  // Runs in the child just before exec, once its streams and limits are
  // set (to narrow its CPU affinity, or move it into a cgroup); it must
  // only make async-signal-safe calls.
  std::function<void()> before_exec{};
};

class service_instance {
 public:
  // Starts the service and returns at once; it may still fail to set up. A
  // program that cannot be run ends with status 127. Throws
  // std::runtime_error when no process or output file can be made.
  explicit service_instance(const service_options& options = {});
  service_instance(const service_instance&) = delete;
  service_instance& operator=(const service_instance&) = delete;
  ~service_instance() = default;  // SIGKILL and reap if still running

  pid_t pid() const { return process_.pid(); }
  // Does nothing once the service has ended and been reaped.
  void signal(int signal_number) const { process_.signal(signal_number); }
  bool running() { return process_.running(); }

  // Everything the service has written to stdout and stderr so far.
  std::string output() const { return output_.text(); }

  // Sends QUERYs to address:1213 until one is answered (about 10 s at
  // most). Fails at once when the service has ended, saying how and what it
  // wrote, or else saying that nothing answered.
  testing::AssertionResult wait_until_answering(const std::string& address = "127.0.0.1");

  // The raw wait status once the service has ended within the timeout; the
  // same status at every later call.
  std::optional<int> wait_for_exit(std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // Sends the signal, then wait_for_exit().
  std::optional<int> stop_with(int signal_number);
  // Sends the signal and succeeds when the service then exits with status
  // 0, having written nothing; otherwise says what happened instead.
  testing::AssertionResult stop_cleanly(int signal_number = SIGTERM);

 private:
  output_file output_;
  child_process process_;
};

// Whether a wait status (as wait_for_exit returns it) is a normal exit with
// the given code, or an end by the given signal; otherwise what it is.
testing::AssertionResult exited_with(const std::optional<int>& status, int code);
testing::AssertionResult killed_by(const std::optional<int>& status, int signal_number);

}  // namespace reflector::test
