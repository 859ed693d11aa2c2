// reflect-stats against a running service, in the test's own network
// namespace: what it says about the service's sockets and workers must be
// what the kernel itself says, and its health check must follow answers and
// drops.
#include <grp.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <thread>
#include <sstream>

#include "tests/support/child_process.h"
#include "tests/support/json_value.h"
#include "tests/support/network_namespace.h"
#include "tests/support/proc_readings.h"
#include "tests/support/service_instance.h"
#include "tests/support/shell_command.h"
#include "tests/support/udp_socket.h"
#include "tests/support/usable_cpus.h"
#include "tests/tools/tool_run.h"

namespace reflector::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

tool_result reflect_stats(const std::vector<std::string>& args) { return run_tool(REFLECT_STATS_PATH, args); }

json_value stats_json() {
  const auto result = reflect_stats({"--json"});
  EXPECT_TRUE(result.exited_with(0)) << result.describe();
  return json_value::parse(result.out);
}

// What ss(8) says of each socket on port 1213, by inode: the kernel's own
// count of queued bytes and drops ("skmem:(r<queued>,...,d<drops>)").
struct kernel_socket {
  long long queued = -1;
  long long drops = -1;
};

long long skmem_field(const std::string& skmem, const std::string& name) {
  std::istringstream fields(skmem);
  for (std::string field; std::getline(fields, field, ',');) {
    if (field.starts_with(name) && field.size() > name.size() && std::isdigit(field[name.size()])) {
      return std::stoll(field.substr(name.size()));
    }
  }
  return -1;
}

std::map<long long, kernel_socket> sockets_as_ss_sees_them() {
  const auto listing = run_shell("ss -uanme 'sport = :1213'");
  EXPECT_TRUE(listing.succeeded()) << listing.output;
  std::map<long long, kernel_socket> found;
  std::istringstream words(listing.output);
  long long inode = -1;
  for (std::string word; words >> word;) {
    if (word.starts_with("ino:")) inode = std::stoll(word.substr(4));
    if (word.starts_with("skmem:(") && inode != -1) {
      const std::string skmem = word.substr(7, word.size() - 8);
      found[inode] = {skmem_field(skmem, "r"), skmem_field(skmem, "d")};
      inode = -1;
    }
  }
  return found;
}

// The system's own count of datagrams dropped at full receive queues, both
// families, in this namespace.
long long receive_buffer_errors() {
  long long total = 0;
  std::ifstream snmp("/proc/net/snmp");
  std::string names;
  std::string values;
  while (std::getline(snmp, names) && std::getline(snmp, values)) {
    if (!names.starts_with("Udp: ")) continue;
    std::istringstream n(names);
    std::istringstream v(values);
    for (std::string name, value; n >> name && v >> value;) {
      if (name == "RcvbufErrors") total += std::stoll(value);
    }
  }
  std::ifstream snmp6("/proc/net/snmp6");
  for (std::string name, value; snmp6 >> name >> value;) {
    if (name == "Udp6RcvbufErrors") total += std::stoll(value);
  }
  return total;
}

class StatsOfARunningService : public testing::Test {
 protected:
  // Every worker is up and waiting on its queue, so that each is seen
  // serving its socket, even when stopped later.
  void SetUp() override {
    REFLECTOR_ENTER_NETNS_OR_SKIP();
    service_.emplace();
    ASSERT_TRUE(service_->wait_until_answering());
    const int workers = static_cast<int>(usable_cpus().size());
    ASSERT_TRUE(wait_until_bound(1213, workers)) << "not every worker bound its socket";
    ASSERT_TRUE(wait_until_threads_wait(service_->pid(), workers)) << "not every worker waits on its queue";
  }

  void TearDown() override {
    if (service_) service_->signal(SIGCONT);
  }

  // Fills the service's queues while it cannot read them: datagrams from
  // many source ports, so that the kernel spreads them over every worker's
  // socket, until every queue has overflowed.
  void overflow_the_queues() {
    service_->signal(SIGSTOP);
    const std::vector<std::uint8_t> request(1000, 0x5a);
    for (int sender = 0; sender < 64; ++sender) {
      const udp_socket socket;
      for (int i = 0; i < 100; ++i) socket.send_to(sender % 2 ? "::1" : "127.0.0.1", 1213, request);
    }
  }

  std::optional<service_instance> service_;
};

TEST_F(StatsOfARunningService, FindsOneSocketPerWorkerAndTheThreadThatServesIt) {
  const auto json = stats_json();
  ASSERT_FALSE(json["pid"].is_null());
  EXPECT_EQ(json["pid"].integer(), service_->pid());
  EXPECT_EQ(json["pid_found_by"].string(), "its sockets");
  const auto& workers = json["workers"].array();
  const auto& sockets = json["sockets"].array();
  // One worker per socket the kernel lists on the port, and each has its
  // socket.
  EXPECT_EQ(workers.size(), sockets_as_ss_sees_them().size());
  ASSERT_EQ(sockets.size(), workers.size());
  EXPECT_EQ(json["totals"]["sockets"].integer(), static_cast<long long>(sockets.size()));

  std::map<long long, long long> worker_of_thread;
  for (const auto& worker : workers) {
    ASSERT_FALSE(worker["worker"].is_null()) << "every worker is pinned to one CPU";
    worker_of_thread[worker["thread"].integer()] = worker["worker"].integer();
  }
  std::set<long long> served;
  for (const auto& socket : sockets) {
    ASSERT_FALSE(socket["pid"].is_null());
    EXPECT_EQ(socket["pid"].integer(), service_->pid());
    EXPECT_EQ(socket["family"].string(), "ipv6");
    EXPECT_EQ(socket["local_address"].string(), "::");
    ASSERT_FALSE(socket["thread"].is_null());
    ASSERT_FALSE(socket["worker"].is_null());
    ASSERT_TRUE(worker_of_thread.contains(socket["thread"].integer()));
    EXPECT_EQ(socket["worker"].integer(), worker_of_thread[socket["thread"].integer()]);
    served.insert(socket["worker"].integer());
  }
  EXPECT_EQ(served.size(), workers.size()) << "two sockets named the same worker";
}

TEST_F(StatsOfARunningService, DropsAfterAFloodAreTheKernelsOwnCount) {
  overflow_the_queues();
  const auto json = stats_json();
  const auto kernel = sockets_as_ss_sees_them();
  const auto& sockets = json["sockets"].array();
  ASSERT_EQ(sockets.size(), kernel.size());
  long long total = 0;
  for (const auto& socket : sockets) {
    const auto found = kernel.find(socket["id"].integer());
    ASSERT_NE(found, kernel.end()) << "socket " << socket["id"].integer() << " is not one ss lists";
    EXPECT_GT(socket["drops"].integer(), 0) << "every worker's queue overflowed";
    EXPECT_EQ(socket["drops"].integer(), found->second.drops);
    EXPECT_EQ(socket["queued_bytes"].integer(), found->second.queued);
    EXPECT_GT(socket["queued_bytes"].integer(), 0);
    total += socket["drops"].integer();
  }
  EXPECT_EQ(json["totals"]["drops"].integer(), total);
  // Nothing else in this namespace drops datagrams.
  EXPECT_EQ(total, receive_buffer_errors());
  EXPECT_EQ(json["udp"]["ipv4"]["receive_buffer_errors"].integer() +
                json["udp"]["ipv6"]["receive_buffer_errors"].integer(),
            total);
}

// A socket whose worker is unknown has no worker label.
TEST_F(StatsOfARunningService, PrometheusOutputCarriesTheSameDrops) {
  overflow_the_queues();
  const auto json = stats_json();
  const auto text = reflect_stats({"--prometheus"});
  ASSERT_TRUE(text.exited_with(0)) << text.describe();
  for (const auto& socket : json["sockets"].array()) {
    const auto& worker = socket["worker"];
    const std::string line = "reflector_socket_drops_total{socket=\"" + std::to_string(socket["id"].integer()) +
                             (worker.is_null() ? "" : "\",worker=\"" + std::to_string(worker.integer())) +
                             "\"} " + std::to_string(socket["drops"].integer()) + "\n";
    EXPECT_NE(text.out.find(line), std::string::npos) << line << text.out;
  }
}

// As nobody (no capabilities): another user's descriptors and threads'
// calls are hidden, but the sockets, their drops and the workers' CPU time
// are not.
TEST_F(StatsOfARunningService, WithoutPrivilegeShowsWhatAnyUserMaySee) {
  const auto result = run_tool_as_nobody(REFLECT_STATS_PATH, {"--json", "--pid", std::to_string(service_->pid())});
  ASSERT_TRUE(result.exited_with(0)) << result.describe();

  const auto json = json_value::parse(result.out);
  EXPECT_EQ(json["pid_found_by"].string(), "--pid");
  EXPECT_EQ(json["workers"].array().size(), sockets_as_ss_sees_them().size());
  ASSERT_EQ(json["sockets"].array().size(), json["workers"].array().size());
  for (const auto& socket : json["sockets"].array()) {
    EXPECT_TRUE(socket["pid"].is_null());
    EXPECT_EQ(socket["drops"].integer(), 0);
  }
  bool said_so = false;
  for (const auto& note : json["notes"].array()) said_so |= note.string().find("not visible") != std::string::npos;
  EXPECT_TRUE(said_so) << result.out;
}

TEST_F(StatsOfARunningService, WatchPrintsATableASecondWithRates) {
  const auto result = run_tool(REFLECT_STATS_PATH, {"--watch", "--count", "2"}, 10s);
  ASSERT_TRUE(result.exited_with(0)) << result.describe();
  std::size_t tables = 0;
  for (std::size_t at = 0; (at = result.out.find("drops/s", at)) != std::string::npos; ++at) ++tables;
  EXPECT_EQ(tables, 2u) << result.out;
}

// --check, in the order an orchestrator would run it.
class HealthCheck : public StatsOfARunningService {
 protected:
  void SetUp() override {
    StatsOfARunningService::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    char pattern[] = "/tmp/reflect-stats-check-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    directory_ = pattern;
    state_ = directory_ + "/state/check-state";
  }
  void TearDown() override {
    StatsOfARunningService::TearDown();
    if (!directory_.empty()) fs::remove_all(directory_);
  }

  tool_result check() { return reflect_stats({"--check", "--state-file", state_, "--timeout", "0.5"}); }

  std::string directory_;
  std::string state_;
};

testing::AssertionResult says(const tool_result& result, int status, const std::string& start,
                              const std::string& part) {
  const bool one_line = result.out.find('\n') == result.out.size() - 1;
  if (result.exited_with(status) && one_line && result.out.starts_with(start) &&
      result.out.find(part) != std::string::npos && result.err.empty()) {
    return testing::AssertionSuccess();
  }
  return testing::AssertionFailure() << "wanted exit " << status << " and one line \"" << start << "...\" with \""
                                     << part << "\"; got " << result.describe();
}

TEST_F(HealthCheck, FollowsAnswersAndDropsSinceTheLastCheck) {
  EXPECT_TRUE(says(check(), 0, "healthy: answered in ", "first check"));
  EXPECT_TRUE(says(check(), 0, "healthy: ", "no datagrams dropped since the last check (state: " + state_ + ")"));
  struct stat status {};
  ASSERT_EQ(stat((directory_ + "/state").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0700u);

  overflow_the_queues();
  service_->signal(SIGCONT);
  EXPECT_TRUE(says(check(), 2, "unhealthy: answered in ", "datagrams dropped at "));
  // The drops were reported once; the next check starts from them.
  EXPECT_TRUE(says(check(), 0, "healthy: ", "no datagrams dropped"));

  service_->signal(SIGSTOP);
  EXPECT_TRUE(says(check(), 2, "unhealthy: no answer from 127.0.0.1 port 1213 within 0.5 s", state_));
  service_->signal(SIGCONT);
  EXPECT_TRUE(says(check(), 0, "healthy: ", "no datagrams dropped"));
}

// Refused at once with one line, never waited on: a state file or
// directory another user could have made or could change. nobody's default
// directory under /tmp made first by another user, with a FIFO in it, is
// the trap an unprivileged user could set.
TEST_F(HealthCheck, AStateFileItCannotKeepIsAFailureNotAVerdict) {
  const std::string file = directory_ + "/file";
  std::ofstream(file) << "x";
  fs::create_directories(directory_ + "/open");
  fs::permissions(directory_ + "/open", fs::perms::all);
  fs::create_directories(directory_ + "/state");
  fs::permissions(directory_ + "/state", fs::perms::owner_all, fs::perm_options::replace);
  ASSERT_EQ(mkfifo((directory_ + "/state/fifo").c_str(), 0600), 0);
  const std::string foreign = directory_ + "/state/foreign";
  std::ofstream(foreign) << "not a state\n";
  ASSERT_EQ(chown(foreign.c_str(), 12345, 12345), 0);
  const std::string trap = "/tmp/reflect-stats-65534";
  fs::remove_all(trap);
  fs::create_directory(trap);
  ASSERT_EQ(mkfifo((trap + "/check-state").c_str(), 0666), 0);
  ASSERT_EQ(chown(trap.c_str(), 12345, 12345), 0);
  struct failure {
    std::string state;  // empty: the default, as nobody
    const char* reason;
  };
  for (const auto& [state, reason] : {failure{file + "/check-state", "file is not a directory"},
                                      failure{directory_ + "/open/check-state", "may be written by other users"},
                                      failure{directory_ + "/state/fifo", "is not a regular file"},
                                      failure{foreign, "belongs to another user (uid 12345)"},
                                      failure{"", "/tmp/reflect-stats-65534 belongs to another user (uid 12345)"}}) {
    const auto result = state.empty() ? run_tool_as_nobody(REFLECT_STATS_PATH, {"--check"}, 5s)
                                      : run_tool(REFLECT_STATS_PATH, {"--check", "--state-file", state}, 5s);
    EXPECT_TRUE(result.exited_with(1)) << reason << ": " << result.describe();
    EXPECT_TRUE(result.out.empty()) << result.describe();
    EXPECT_TRUE(result.err.starts_with("reflect-stats: ")) << result.describe();
    EXPECT_NE(result.err.find(reason), std::string::npos) << result.describe();
  }
  fs::remove_all(trap);
  // A file of its own that it did not write is replaced, and the check
  // counts from now.
  std::ofstream(state_) << "not a state\n";
  EXPECT_TRUE(says(check(), 0, "healthy: ", "first check"));
}

// A process that another user (nobody) starts under the service's name: a
// copy of sleep(1) called reflectord. With holds_port, it binds UDP port
// 1213 first, as any user may while the port is free.
class impostor {
 public:
  impostor(const fs::path& directory, bool holds_port) : process_(start(directory, holds_port)) {}

  testing::AssertionResult named() const {
    const std::string comm = "/proc/" + std::to_string(process_.pid()) + "/comm";
    for (int waited = 0; waited < 500; ++waited) {
      std::string name;
      std::getline(std::ifstream(comm) >> std::ws, name);
      if (name == "reflectord") return testing::AssertionSuccess();
      std::this_thread::sleep_for(10ms);
    }
    return testing::AssertionFailure() << "the impostor was never named reflectord";
  }

 private:
  static child_process start(const fs::path& directory, bool holds_port) {
    const fs::path copy = directory / "reflectord";
    if (!fs::exists(copy)) fs::copy_file("/bin/sleep", copy);
    fs::permissions(copy, fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
    return child_process::start(copy, {"60"}, {}, [holds_port] {
      if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(125);
      if (!holds_port) return;
      sockaddr_in6 address{};
      address.sin6_family = AF_INET6;
      address.sin6_port = htons(1213);
      const int fd = socket(AF_INET6, SOCK_DGRAM, 0);
      if (fd == -1 || bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) _exit(126);
    });
  }

  child_process process_;
};

// reflector_up follows the sockets on the port that root or the service's
// user hold: processes another user names reflectord, on the port or not,
// change nothing, whether the reader may see the sockets' owners or not.
TEST(ServiceUp, NoProcessOfAnotherUserChangesIt) {
  REFLECTOR_ENTER_NETNS_OR_SKIP();
  char pattern[] = "/tmp/reflect-stats-impostor-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const fs::path directory = pattern;
  fs::permissions(directory, fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
  struct situation {
    const char* what;
    bool service;
    int impostors;
    bool on_the_port;
    bool as_nobody;
    const char* up;
  };
  for (const situation& c : {
           situation{"service down, an impostor on its port", false, 1, true, false, "reflector_up 0"},
           situation{"service down, an impostor on its port, read as nobody", false, 1, true, true, "reflector_up 0"},
           situation{"service down, an impostor by name alone, read as nobody", false, 1, false, true, "reflector_up 0"},
           situation{"service up beside two impostors, read as nobody", true, 2, false, true, "reflector_up 1"},
       }) {
    std::optional<service_instance> service;
    if (c.service) {
      service.emplace();
      ASSERT_TRUE(service->wait_until_answering()) << c.what;
    }
    std::vector<std::unique_ptr<impostor>> impostors;
    for (int i = 0; i < c.impostors; ++i) {
      impostors.push_back(std::make_unique<impostor>(directory, c.on_the_port));
      ASSERT_TRUE(impostors.back()->named()) << c.what;
    }
    const auto result = c.as_nobody ? run_tool_as_nobody(REFLECT_STATS_PATH, {"--prometheus"})
                                    : reflect_stats({"--prometheus"});
    ASSERT_TRUE(result.exited_with(0)) << c.what << ": " << result.describe();
    EXPECT_NE(result.out.find("\n" + std::string(c.up) + "\n"), std::string::npos) << c.what << ":\n" << result.out;
  }
  fs::remove_all(directory);
}

TEST(StatsArguments, MistakesAreOneLineAndStatusOne) {
  struct mistake {
    std::vector<std::string> args;
    const char* says;
  };
  for (const auto& [args, text] : {
           mistake{{"--count", "2"}, "--count goes with --watch"},
           mistake{{"--timeout", "1"}, "--timeout goes with --check"},
           mistake{{"--state-file", "/tmp/x"}, "--state-file goes with --check"},
           mistake{{"--json", "--prometheus"}, "--prometheus"},
           mistake{{"--watch", "--check"}, "--check"},
           mistake{{"--pid", "0"}, "--pid"},
           mistake{{"--check", "--timeout", "0"}, "--timeout"},
           mistake{{"--listen", "127.0.0.1"}, "ADDRESS:PORT"},
           mistake{{"extra"}, "extra"},
       }) {
    const auto result = reflect_stats(args);
    EXPECT_TRUE(result.exited_with(1)) << result.describe();
    EXPECT_TRUE(result.out.empty()) << result.describe();
    EXPECT_TRUE(result.err.starts_with("reflect-stats: ")) << result.describe();
    EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << result.describe();
    EXPECT_NE(result.err.find(text), std::string::npos) << result.describe();
  }
}

}  // namespace
}  // namespace reflector::test
