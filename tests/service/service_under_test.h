// reflectord as the end-to-end tests run it: started inside the test's own
// network namespace, stdin from /dev/null, stdout and stderr caught in one
// file so that a test can check the service wrote nothing.
#pragma once

#include <sys/resource.h>

#include <chrono>
#include <functional>
#include <map>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/child_process.h"

namespace reflector::test {

struct service_options {
  std::vector<std::string> arguments{};
  std::vector<std::string> environment{};
  std::optional<rlim_t> descriptor_limit{};  // RLIMIT_NOFILE for the service
  // Runs in the child just before exec, after the rest of the set-up; it
  // must only make async-signal-safe calls.
  std::function<void()> before_exec{};
};

class service_under_test {
 public:
  explicit service_under_test(const service_options& options = {});
  ~service_under_test();
  service_under_test(const service_under_test&) = delete;
  service_under_test& operator=(const service_under_test&) = delete;

  pid_t pid() const { return process_.pid(); }
  void signal(int signal_number) const { process_.signal(signal_number); }
  bool running() { return process_.running(); }

  // Everything the service has written to stdout and stderr so far.
  std::string output() const;

  // The wait status once the service has ended, within the timeout.
  std::optional<int> wait_for_exit(std::chrono::milliseconds timeout = std::chrono::seconds(20));
  std::optional<int> stop_with(int signal_number);

 private:
  std::FILE* output_;
  child_process process_;
};

// How many sockets of this network namespace are bound to UDP port `port`.
int bound_udp_sockets(std::uint16_t port);

// Waits, bounded, until `count` sockets are bound to the port.
bool wait_until_bound(std::uint16_t port, int count);

// The Cpus_allowed_list of every thread of process pid, by thread id.
std::map<int, std::string> allowed_cpus_by_thread(pid_t pid);

// The number of workers reflectord starts here: one per CPU this process
// may use.
int expected_workers();

// The common frame of the tests that need a serving service: a fresh
// namespace with lo up and documentation addresses on it, a service that
// answers with every worker bound, and at the end a SIGTERM that must stop
// it with status 0 having written nothing.
class ServingService : public testing::Test {
 protected:
  // The addresses put on lo; a test that needs others overrides this.
  virtual std::vector<std::string> local_addresses() const;
  void SetUp() override;
  void TearDown() override;
  service_under_test& service() { return *service_; }

 private:
  std::optional<service_under_test> service_;
};

// Whether the status is a normal exit with the given code.
testing::AssertionResult exited_with(const std::optional<int>& status, int code);

}  // namespace reflector::test
