// reflect-bench for a short run against the real service: everything that
// comes back is a correct reply, and some do come back.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/network_namespace.h"
#include "tests/support/service_instance.h"
#include "tests/tools/tool_run.h"

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
  for (const char* label : {"offered", "answered", "lost", "mismatched", "latency", "p99.9",
                            "server CPU", "per million"}) {
    EXPECT_NE(result.out.find(label), std::string::npos) << label << " in\n" << result.out;
  }
  EXPECT_NE(result.out.find('#'), std::string::npos) << "a histogram bar";
  EXPECT_TRUE(service.stop_cleanly());
}

}  // namespace
}  // namespace reflector::test
