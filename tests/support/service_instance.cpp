#include "tests/support/service_instance.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <utility>

#include "tests/support/reflection_exchange.h"

namespace reflector::test {
namespace {

std::vector<std::string> service_environment(const std::vector<std::string>& given) {
  std::vector<std::string> environment = given;
  for (std::string& setting : sanitizer_settings()) environment.push_back(std::move(setting));
  return environment;
}

child_process start(const service_options& options, int output_fd) {
  const std::optional<rlim_t> limit = options.descriptor_limit;
  const std::function<void()> before_exec = options.before_exec;
  const auto set_up = [=] {
    const int null_fd = open("/dev/null", O_RDONLY);
    dup2(null_fd, STDIN_FILENO);
    close(null_fd);
    dup2(output_fd, STDOUT_FILENO);
    dup2(output_fd, STDERR_FILENO);
    close_range(3, ~0u, 0);
    if (limit) {
      const rlimit r{*limit, *limit};
      setrlimit(RLIMIT_NOFILE, &r);
    }
    if (before_exec) before_exec();
  };
  return child_process::start(options.program.empty() ? REFLECTORD_PATH : options.program,
                              options.arguments, service_environment(options.environment), set_up);
}

}  // namespace

service_instance::service_instance(const service_options& options)
    : process_(start(options, output_.fd())) {}

testing::AssertionResult service_instance::wait_until_answering(const std::string& address) {
  // In rounds, so that a service that has ended is noticed within one.
  constexpr int rounds = 20;
  constexpr int queries_per_round = 10;
  for (int round = 0; round < rounds; ++round) {
    if (const std::optional<int> status = wait_for_exit(std::chrono::milliseconds(0))) {
      return testing::AssertionFailure() << "the service ended (" << describe_status(*status)
                                         << ") before answering on " << address
                                         << "; it wrote: \"" << output() << "\"";
    }
    if (reflector::test::wait_until_answering(address, service_port, queries_per_round)) {
      return testing::AssertionSuccess();
    }
  }
  return testing::AssertionFailure() << "the service never answered a QUERY on " << address;
}

std::optional<int> service_instance::wait_for_exit(std::chrono::milliseconds timeout) {
  return process_.wait_for_exit(timeout);
}

std::optional<int> service_instance::stop_with(int signal_number) {
  process_.signal(signal_number);
  return wait_for_exit();
}

testing::AssertionResult service_instance::stop_cleanly(int signal_number) {
  const std::optional<int> status = stop_with(signal_number);
  const std::string written = output();
  if (exited_with(status, 0) && written.empty()) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "after signal " << signal_number << ": "
                                     << (status ? describe_status(*status) : "still running")
                                     << ", wanted exit 0 and no output; it wrote: \"" << written << "\"";
}

testing::AssertionResult exited_with(const std::optional<int>& status, int code) {
  if (!status) return testing::AssertionFailure() << "still running";
  if (WIFEXITED(*status) && WEXITSTATUS(*status) == code) return testing::AssertionSuccess();
  return testing::AssertionFailure() << describe_status(*status) << ", not exit " << code;
}

testing::AssertionResult killed_by(const std::optional<int>& status, int signal_number) {
  if (!status) return testing::AssertionFailure() << "still running";
  if (WIFSIGNALED(*status) && WTERMSIG(*status) == signal_number) return testing::AssertionSuccess();
  return testing::AssertionFailure() << describe_status(*status) << ", not signal " << signal_number;
}

}  // namespace reflector::test
