// reflect-bench for a short run against the real service: everything that
// comes back is a correct reply, and some do come back. Against stand-ins
// that misbehave, and with no server at all, it reports what happened and
// fails the run when it should; stopped by a signal, it still reports.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "protocol/message_layout.h"
#include "tests/support/network_namespace.h"
#include "tests/support/service_instance.h"
#include "tests/tools/stand_in_server.h"
#include "tests/tools/tool_run.h"
#include "tools/reflect_bench/request_stamp.h"

namespace reflector::test {
namespace {

// The integer value of key in reflect-bench's flat JSON; -1 when absent.
long long json_integer(const std::string& json, const std::string& key) {
  const std::string member = "\"" + key + "\":";
  const auto at = json.find(member);
  if (at == std::string::npos) return -1;
  const std::string rest = json.substr(at + member.size());
  if (rest.empty() || rest[0] < '0' || rest[0] > '9') return -1;
  return std::stoll(rest);
}

struct bench_case {
  const char* name;
  std::vector<std::string> args;
};

const bench_case bench_cases[] = {
    {"closed_loop_ipv4", {"192.0.2.1", "--duration", "2", "--json"}},
    {"closed_loop_ipv6_long_requests", {"2001:db8::2", "--duration", "2", "--size", "200", "--json"}},
    {"open_loop", {"192.0.2.1", "--duration", "2", "--rate", "5000", "--json"}},
    {"open_loop_below_twenty_a_second", {"192.0.2.1", "--duration", "1", "--rate", "5", "--json"}},
    {"forward_path", {"192.0.2.1", "--duration", "2", "--forward", "[2001:db8::2]:6000", "--json"}},
};

class BenchAgainstService : public testing::TestWithParam<bench_case> {};

TEST_P(BenchAgainstService, AnswersComeBackAndAllMatch) {
  REFLECTOR_ENTER_NETNS_OR_SKIP({"192.0.2.1", "2001:db8::2"});
  service_instance service;
  ASSERT_TRUE(service.wait_until_answering("192.0.2.1"));
  std::vector<std::string> args = GetParam().args;
  args.insert(args.end(), {"--server-pid", std::to_string(service.pid())});
  const tool_result result = run_tool(REFLECT_BENCH_PATH, args, std::chrono::seconds(30));
  ASSERT_TRUE(result.exited_with(0)) << result.describe();
  EXPECT_GT(json_integer(result.out, "answered"), 0) << result.out;
  EXPECT_EQ(json_integer(result.out, "mismatched"), 0) << result.out;
  EXPECT_GE(json_integer(result.out, "offered"), json_integer(result.out, "answered"));
  EXPECT_EQ(result.out.find("\"server_cpu_s\":null"), std::string::npos) << result.out;
  EXPECT_TRUE(service.stop_cleanly());
}

INSTANTIATE_TEST_SUITE_P(Modes, BenchAgainstService, testing::ValuesIn(bench_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(BenchTable, SummaryNamesEveryFigure) {
  REFLECTOR_ENTER_NETNS_OR_SKIP({"192.0.2.1"});
  service_instance service;
  ASSERT_TRUE(service.wait_until_answering("192.0.2.1"));
  const tool_result result = run_tool(
      REFLECT_BENCH_PATH, {"192.0.2.1", "--duration", "0.5", "--histogram", "--server-pid",
                           std::to_string(service.pid())});
  ASSERT_TRUE(result.exited_with(0)) << result.describe();
  for (const char* label : {"offered", "answered", "duplicated", "lost", "at generator",
                            "beyond it", "mismatched", "latency", "p99.9", "server CPU",
                            "per million"}) {
    EXPECT_NE(result.out.find(label), std::string::npos) << label << " in\n" << result.out;
  }
  EXPECT_NE(result.out.find('#'), std::string::npos) << "a histogram bar";
  EXPECT_TRUE(service.stop_cleanly());
}

// ---- against stand-ins that misbehave ----

void answer_three_times(const datagram_bytes& request, const sockaddr_in6& sender,
                        const reply_sender& reply) {
  const datagram_bytes answer = service_reply(request, sender);
  if (answer.empty()) return;
  for (int copy = 0; copy < 3; ++copy) reply(answer);
}

// What an address translator on the way does to every reply.
void answer_with_address_rewritten(const datagram_bytes& request, const sockaddr_in6& sender,
                                   const reply_sender& reply) {
  datagram_bytes answer = service_reply(request, sender);
  if (answer.empty()) return;
  answer[xaddress_offset + address_size - 1] ^= 1;
  reply(answer);
}

TEST(BenchAgainstStandIn, DuplicatesAreCountedApartFromAnswers) {
  REFLECTOR_ENTER_NETNS_OR_SKIP({"192.0.2.1"});
  const stand_in_server server("192.0.2.1", answer_three_times);
  const tool_result result = run_tool(
      REFLECT_BENCH_PATH, {"192.0.2.1", "--rate", "2000", "--count", "1000", "--json"});
  ASSERT_TRUE(result.exited_with(0)) << result.describe();
  const long long offered = json_integer(result.out, "offered");
  const long long answered = json_integer(result.out, "answered");
  const long long duplicated = json_integer(result.out, "duplicated");
  EXPECT_EQ(offered, 1000) << result.out;
  EXPECT_GT(answered, 0) << result.out;
  EXPECT_LE(answered, offered) << result.out;
  // Two more copies of each answered request at most; most of them arrive.
  EXPECT_LE(duplicated, 2 * answered) << result.out;
  EXPECT_GE(duplicated, answered) << result.out;
  EXPECT_EQ(json_integer(result.out, "mismatched"), 0) << result.out;
  EXPECT_NE(result.err.find("duplicate replies"), std::string::npos) << result.err;
}

TEST(BenchAgainstStandIn, RewrittenAddressesFailTheRunWithAHint) {
  REFLECTOR_ENTER_NETNS_OR_SKIP({"192.0.2.1"});
  const stand_in_server server("192.0.2.1", answer_with_address_rewritten);
  const tool_result result = run_tool(
      REFLECT_BENCH_PATH, {"192.0.2.1", "--rate", "2000", "--count", "200", "--json"});
  ASSERT_TRUE(result.exited_with(3)) << result.describe();
  EXPECT_EQ(json_integer(result.out, "answered"), 0) << result.out;
  EXPECT_GT(json_integer(result.out, "mismatched_address"), 0) << result.out;
  EXPECT_NE(result.err.find("replies mismatched: is an address translator rewriting addresses"),
            std::string::npos)
      << result.err;
}

// Answers nothing. The first request's socket gets far more datagrams than
// its queue holds while the tool sleeps to its next send (one socket, two
// requests a second). The kernel reports the drops only with a datagram it
// queues later, so the second request is followed by a trickle over the
// next second: the ones that come once the tool has emptied its queue
// bring the count.
responder flood_then_trickle() {
  return [requests = 0](const datagram_bytes&, const sockaddr_in6&,
                        const reply_sender& reply) mutable {
    const datagram_bytes stranger(header_size);
    if (requests++ == 0) {
      for (int copy = 0; copy < 40'000; ++copy) reply(stranger);
      return;
    }
    for (int copy = 0; copy < 10; ++copy) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      reply(stranger);
    }
  };
}

TEST(BenchAgainstStandIn, DropsAtItsOwnSocketCountAsLostAtTheGenerator) {
  REFLECTOR_ENTER_NETNS_OR_SKIP({"192.0.2.1"});
  const stand_in_server server("192.0.2.1", flood_then_trickle());
  const tool_result result =
      run_tool(REFLECT_BENCH_PATH, {"192.0.2.1", "--sockets", "1", "--rate", "2", "--count", "2",
                                    "--drain", "1.5", "--json"});
  ASSERT_TRUE(result.exited_with(3)) << result.describe();  // the flood is foreign
  EXPECT_EQ(json_integer(result.out, "lost"), 2) << result.out;
  // Far more were dropped, but the drops explain at most what was lost.
  EXPECT_EQ(json_integer(result.out, "lost_at_generator"), 2) << result.out;
  EXPECT_EQ(json_integer(result.out, "lost_beyond"), 0) << result.out;
}

// Sending a batch takes time, so each batch must carry the time it was sent.
// One stamp for a whole pass over the sockets made the later sockets'
// requests look slower by the time the earlier batches took to send.
TEST(BenchAgainstStandIn, EachBatchCarriesTheTimeItWasSent) {
  REFLECTOR_ENTER_NETNS_OR_SKIP({"192.0.2.1"});
  std::mutex mutex;
  std::map<std::uint16_t, std::vector<std::uint64_t>> sent_ns_by_socket;
  tool_result result;
  {
    const stand_in_server server(
        "192.0.2.1", [&](const datagram_bytes& request, const sockaddr_in6&, const reply_sender&) {
          if (request.size() < header_size) return;
          const auto stamp = tools::stamp_of(read_key(request.data()));
          const std::lock_guard lock(mutex);
          sent_ns_by_socket[stamp.socket_index].push_back(stamp.sent_ns);
        });
    // One pass of the closed loop: a batch of 16 to each of 4 sockets.
    result = run_tool(REFLECT_BENCH_PATH, {"192.0.2.1", "--sockets", "4", "--window", "16",
                                           "--count", "64", "--drain", "0.2", "--json"});
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the last datagrams land
  }
  ASSERT_EQ(json_integer(result.out, "offered"), 64) << result.describe();
  const std::lock_guard lock(mutex);
  ASSERT_EQ(sent_ns_by_socket.size(), 4U);
  std::uint64_t previous_batch_ns = 0;
  for (const auto& [socket, stamps] : sent_ns_by_socket) {
    ASSERT_EQ(stamps.size(), 16U) << "socket " << socket;
    for (const auto sent_ns : stamps) EXPECT_EQ(sent_ns, stamps.front()) << "socket " << socket;
    EXPECT_GT(stamps.front(), previous_batch_ns) << "socket " << socket;
    previous_batch_ns = stamps.front();
  }
}

// ---- a run that fails still reports ----

TEST(BenchFailures, NothingAnsweredFailsTheRunAfterTheSummary) {
  REFLECTOR_ENTER_NETNS_OR_SKIP({"192.0.2.1"});
  const tool_result result =
      run_tool(REFLECT_BENCH_PATH, {"192.0.2.1", "--duration", "0.3", "--drain", "0.2"});
  ASSERT_TRUE(result.exited_with(2)) << result.describe();
  for (const char* label : {"offered", "answered", "lost", "at generator", "beyond it"}) {
    EXPECT_NE(result.out.find(label), std::string::npos) << label << " in\n" << result.out;
  }
  EXPECT_NE(result.err.find("nothing was answered: is a reflector running at 192.0.2.1:1213?"),
            std::string::npos)
      << result.err;
}

// ---- stopped by a signal ----

// Whether process pid has a handler for signal_number, from the SigCgt mask
// of its /proc status.
bool catches(pid_t pid, int signal_number) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("SigCgt:", 0) == 0) {
      return (std::stoull(line.substr(7), nullptr, 16) >> (signal_number - 1) & 1) != 0;
    }
  }
  return false;
}

bool wait_until_catching(pid_t pid, int signal_number) {
  for (int attempt = 0; attempt < 500; ++attempt) {
    if (catches(pid, signal_number)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// The test process's own disposition of a signal set to the default while
// it lives, so that a tool started meanwhile does not inherit it ignored.
class default_disposition {
 public:
  explicit default_disposition(int signal_number) : signal_number_(signal_number) {
    struct sigaction dfl{};
    dfl.sa_handler = SIG_DFL;
    sigaction(signal_number_, &dfl, &previous_);
  }
  ~default_disposition() { sigaction(signal_number_, &previous_, nullptr); }
  default_disposition(const default_disposition&) = delete;
  default_disposition& operator=(const default_disposition&) = delete;

 private:
  int signal_number_;
  struct sigaction previous_{};
};

struct stop_case {
  const char* name;
  int signal_number;
  int status;
};

class BenchStopped : public testing::TestWithParam<stop_case> {};

TEST_P(BenchStopped, ReportsWhatRanAndExitsWithTheSignalStatus) {
  REFLECTOR_ENTER_NETNS_OR_SKIP({"192.0.2.1"});
  service_instance service;
  ASSERT_TRUE(service.wait_until_answering("192.0.2.1"));
  const default_disposition inherited(GetParam().signal_number);
  tool_run run(REFLECT_BENCH_PATH, {"192.0.2.1", "--duration", "30", "--json"});
  ASSERT_TRUE(wait_until_catching(run.pid(), GetParam().signal_number));
  std::this_thread::sleep_for(std::chrono::seconds(1));
  kill(run.pid(), GetParam().signal_number);
  const tool_result result = run.finish(std::chrono::seconds(10));
  ASSERT_TRUE(result.exited_with(GetParam().status)) << result.describe();
  EXPECT_GT(json_integer(result.out, "answered"), 0) << result.out;
  EXPECT_NE(result.out.find("\"interrupted\":true"), std::string::npos) << result.out;
  EXPECT_TRUE(service.stop_cleanly());
}

INSTANTIATE_TEST_SUITE_P(Signals, BenchStopped,
                         testing::Values(stop_case{"sigint", SIGINT, 130},
                                         stop_case{"sigterm", SIGTERM, 143}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace reflector::test
