#include "tests/service/service_under_test.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "tests/support/network_namespace.h"
#include "tests/support/reflection_exchange.h"
#include "tests/support/usable_cpus.h"

namespace reflector::test {
namespace {

child_process start_reflectord(const service_options& options, int output_fd) {
  const std::optional<rlim_t> limit = options.descriptor_limit;
  const std::function<void()> before_exec = options.before_exec;
  return child_process::start(REFLECTORD_PATH, options.arguments, options.environment, [=] {
    const int null_fd = open("/dev/null", O_RDONLY);
    dup2(null_fd, 0);
    close(null_fd);
    dup2(output_fd, 1);
    dup2(output_fd, 2);
    // Nothing else of the test's (or ctest's) descriptors reaches the
    // service, so that descriptor limits count only its own.
    close_range(3, ~0u, 0);
    if (limit) {
      const rlimit r{*limit, *limit};
      setrlimit(RLIMIT_NOFILE, &r);
    }
    if (before_exec) before_exec();
  });
}

}  // namespace

service_under_test::service_under_test(const service_options& options)
    : output_(std::tmpfile()), process_(start_reflectord(options, fileno(output_))) {}

service_under_test::~service_under_test() { std::fclose(output_); }

std::string service_under_test::output() const {
  std::string text;
  char chunk[512];
  for (off_t at = 0;;) {
    const ssize_t got = pread(fileno(output_), chunk, sizeof chunk, at);
    if (got <= 0) return text;
    text.append(chunk, static_cast<std::size_t>(got));
    at += got;
  }
}

std::optional<int> service_under_test::wait_for_exit(std::chrono::milliseconds timeout) {
  return process_.wait_for_exit(timeout);
}

std::optional<int> service_under_test::stop_with(int signal_number) {
  process_.signal(signal_number);
  return wait_for_exit();
}

int bound_udp_sockets(std::uint16_t port) {
  char port_field[8];
  std::snprintf(port_field, sizeof port_field, ":%04X ", port);
  int count = 0;
  for (const char* table : {"/proc/net/udp", "/proc/net/udp6"}) {
    std::ifstream lines(table);
    std::string line;
    std::getline(lines, line);  // column titles
    while (std::getline(lines, line)) {
      // The local address is the second field: "  0: 00000000:04BD 00000000:0000 ..."
      const std::size_t colon = line.find(':');
      const std::size_t local = line.find_first_not_of(' ', colon + 1);
      const std::size_t local_end = line.find(' ', local);
      if (line.substr(local, local_end - local + 1).ends_with(port_field)) ++count;
    }
  }
  return count;
}

bool wait_until_bound(std::uint16_t port, int count) {
  for (int attempt = 0; attempt < 400; ++attempt) {
    if (bound_udp_sockets(port) >= count) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  return false;
}

int expected_workers() { return static_cast<int>(usable_cpus().size()); }

std::vector<std::string> ServingService::local_addresses() const {
  return {"192.0.2.1", "2001:db8::2"};
}

void ServingService::SetUp() {
  REFLECTOR_ENTER_NETNS_OR_SKIP(local_addresses());
  service_.emplace();
  ASSERT_TRUE(wait_until_answering()) << "the service never answered a QUERY";
  // Every worker bound: from here on a client's datagrams always meet the
  // same socket, so they are handled in the order they were sent.
  ASSERT_TRUE(wait_until_bound(service_port, expected_workers()));
}

void ServingService::TearDown() {
  if (!service_) return;
  EXPECT_TRUE(exited_with(service_->stop_with(SIGTERM), 0));
  EXPECT_EQ(service_->output(), "");
}

std::map<int, std::string> allowed_cpus_by_thread(pid_t pid) {
  std::map<int, std::string> result;
  const std::string task_dir = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = opendir(task_dir.c_str());
  if (dir == nullptr) return result;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream status(task_dir + "/" + entry->d_name + "/status");
    for (std::string line; std::getline(status, line);) {
      if (line.starts_with("Cpus_allowed_list:")) {
        result[std::stoi(entry->d_name)] = line.substr(line.find_first_not_of(" \t", 18));
      }
    }
  }
  closedir(dir);
  return result;
}

testing::AssertionResult exited_with(const std::optional<int>& status, int code) {
  if (!status) return testing::AssertionFailure() << "still running";
  if (WIFEXITED(*status) && WEXITSTATUS(*status) == code) return testing::AssertionSuccess();
  return testing::AssertionFailure() << describe_status(*status) << ", not exit " << code;
}

}  // namespace reflector::test
