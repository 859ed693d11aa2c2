// Bad input to either tool: one line on stderr that names the problem, exit
// status 1, never a crash or a hang. And --help everywhere.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/support/network_namespace.h"
#include "tests/tools/tool_run.h"

namespace reflector::test {
namespace {

struct bad_input {
  const char* name;
  const char* tool;  // REFLECT_PATH or REFLECT_BENCH_PATH
  std::vector<std::string> args;
  const char* named;  // what the message must mention
};

const bad_input bad_inputs[] = {
    {"no_command", REFLECT_PATH, {}, "missing command"},
    {"unknown_top_level_option", REFLECT_PATH, {"--fast"}, "unknown option '--fast'"},
    {"unknown_command", REFLECT_PATH, {"frobnicate"}, "frobnicate"},
    {"query_missing_server", REFLECT_PATH, {"query"}, "SERVER"},
    {"query_extra_argument", REFLECT_PATH, {"query", "192.0.2.1", "192.0.2.2"}, "192.0.2.2"},
    {"query_unknown_host", REFLECT_PATH, {"query", "no-such-host.invalid"}, "no-such-host.invalid"},
    {"query_port_zero", REFLECT_PATH, {"query", "192.0.2.1:0"}, "port 0"},
    {"query_port_too_big", REFLECT_PATH, {"query", "192.0.2.1:65536"}, "65536"},
    {"query_port_not_a_number", REFLECT_PATH, {"query", "192.0.2.1:http"}, "http"},
    {"query_empty_port", REFLECT_PATH, {"query", "192.0.2.1:"}, "missing port"},
    {"query_unclosed_bracket", REFLECT_PATH, {"query", "[2001:db8::1"}, "]"},
    {"query_junk_after_bracket", REFLECT_PATH, {"query", "[2001:db8::1]x"}, "x"},
    {"query_empty_host", REFLECT_PATH, {"query", ":1213"}, "missing host"},
    {"query_v6_literal_with_dash4", REFLECT_PATH, {"query", "-4", "2001:db8::1"}, "IPv6"},
    {"query_v4_literal_with_dash6", REFLECT_PATH, {"query", "-6", "192.0.2.1"}, "IPv4"},
    {"query_both_families", REFLECT_PATH, {"query", "-4", "-6", "192.0.2.1"}, "-4"},
    {"query_zero_tries", REFLECT_PATH, {"query", "--tries", "0", "192.0.2.1"}, "--tries"},
    {"query_negative_timeout", REFLECT_PATH, {"query", "--timeout", "-1", "192.0.2.1"}, "--timeout"},
    {"query_timeout_not_a_number", REFLECT_PATH, {"query", "--timeout", "soon", "192.0.2.1"}, "soon"},
    {"query_option_without_value", REFLECT_PATH, {"query", "192.0.2.1", "--tries"}, "--tries"},
    {"query_unknown_option", REFLECT_PATH, {"query", "--fast", "192.0.2.1"}, "--fast"},
    {"forward_missing_target", REFLECT_PATH, {"forward", "192.0.2.1"}, "TARGET"},
    {"forward_target_without_port", REFLECT_PATH, {"forward", "192.0.2.1", "192.0.2.7"}, "missing port"},
    {"forward_bare_ipv6_target", REFLECT_PATH, {"forward", "192.0.2.1", "2001:db8::3:1213"}, "brackets"},
    {"query_long_argument", REFLECT_PATH, {"query", std::string(5000, 'a')}, "(5000 characters)"},
    {"query_newline_in_argument", REFLECT_PATH, {"query", "bad\nhost"}, "'bad\\nhost'"},
    {"listen_from_unresolvable", REFLECT_PATH, {"listen", ":5000", "--from", "no-such-host.invalid"}, "--from server"},
    {"forward_target_port_zero", REFLECT_PATH, {"forward", "192.0.2.1", "192.0.2.7:0"}, "port 0"},
    {"listen_missing_address", REFLECT_PATH, {"listen"}, "PORT"},
    {"listen_without_port", REFLECT_PATH, {"listen", "5000"}, "missing port"},
    {"listen_foreign_address", REFLECT_PATH, {"listen", "203.0.113.77:5000"}, "203.0.113.77"},
    {"listen_zero_count", REFLECT_PATH, {"listen", ":5000", "--count", "0"}, "--count"},
    {"nat_missing_server", REFLECT_PATH, {"nat", "192.0.2.1"}, "SERVER_B"},
    {"nat_same_server_twice", REFLECT_PATH, {"nat", "192.0.2.1", "192.0.2.1:1214"}, "same address"},
    {"nat_mixed_families", REFLECT_PATH, {"nat", "192.0.2.1", "2001:db8::1"}, "2001:db8::1"},
    {"bench_missing_server", REFLECT_BENCH_PATH, {}, "SERVER"},
    {"bench_rate_and_window", REFLECT_BENCH_PATH, {"192.0.2.1", "--rate", "10", "--window", "2"}, "--rate"},
    {"bench_zero_sockets", REFLECT_BENCH_PATH, {"192.0.2.1", "--sockets", "0"}, "--sockets"},
    {"bench_short_request", REFLECT_BENCH_PATH, {"192.0.2.1", "--size", "39"}, "--size"},
    {"bench_long_duration", REFLECT_BENCH_PATH, {"192.0.2.1", "--duration", "100000"}, "--duration"},
    {"bench_refused_forward_target", REFLECT_BENCH_PATH, {"192.0.2.1", "--forward", "127.0.0.1:5000"}, "refuses"},
    {"bench_forward_target_not_local", REFLECT_BENCH_PATH, {"192.0.2.1", "--forward", "203.0.113.77:5000"}, "203.0.113.77"},
    {"bench_no_such_pid", REFLECT_BENCH_PATH, {"192.0.2.1", "--server-pid", "4194304"}, "4194304"},
    {"bench_unknown_host", REFLECT_BENCH_PATH, {"no-such-host.invalid"}, "no-such-host.invalid"},
    {"bench_loopback_forward_target_names_the_rule", REFLECT_BENCH_PATH, {"192.0.2.1", "--forward", "127.0.0.1:5000"}, "loopback"},
};

class BadInput : public testing::TestWithParam<bad_input> {};

TEST_P(BadInput, OneLineNamingTheProblemAndStatusOne) {
  // No route out: a name lookup fails at once instead of asking real DNS.
  REFLECTOR_ENTER_NETNS_OR_SKIP({"192.0.2.1", "2001:db8::2"});
  const bad_input& c = GetParam();
  const tool_result result = run_tool(c.tool, c.args, std::chrono::seconds(30));
  ASSERT_TRUE(result.exited_with(1)) << result.describe();
  EXPECT_TRUE(result.out.empty()) << result.out;
  ASSERT_FALSE(result.err.empty());
  EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << result.err;
  EXPECT_NE(result.err.find(c.named), std::string::npos) << result.err;
}

INSTANTIATE_TEST_SUITE_P(Inputs, BadInput, testing::ValuesIn(bad_inputs),
                         [](const auto& info) { return std::string(info.param.name); });

struct help_case {
  const char* name;
  const char* tool;
  std::vector<std::string> args;
};

const help_case help_cases[] = {
    {"reflect", REFLECT_PATH, {"--help"}},
    {"query", REFLECT_PATH, {"query", "--help"}},
    {"forward", REFLECT_PATH, {"forward", "-h"}},
    {"listen", REFLECT_PATH, {"listen", "--help"}},
    {"nat", REFLECT_PATH, {"nat", "192.0.2.1", "--help"}},
    {"bench", REFLECT_BENCH_PATH, {"--help"}},
};

class Help : public testing::TestWithParam<help_case> {};

TEST_P(Help, PrintsUsageAndSucceeds) {
  const tool_result result = run_tool(GetParam().tool, GetParam().args);
  ASSERT_TRUE(result.exited_with(0)) << result.describe();
  EXPECT_EQ(result.out.rfind("Usage: ", 0), 0u) << result.out;
  EXPECT_TRUE(result.err.empty());
}

INSTANTIATE_TEST_SUITE_P(Commands, Help, testing::ValuesIn(help_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// Every tool names the project's one version, wherever --version stands.
TEST(Version, EveryToolPrintsTheProjectVersion) {
  const std::pair<const char*, std::vector<std::string>> runs[] = {
      {REFLECT_PATH, {"--version"}},
      {REFLECT_PATH, {"query", "--version"}},
      {REFLECT_PATH, {"listen", ":5000", "--version"}},
      {REFLECT_BENCH_PATH, {"--version"}},
  };
  for (const auto& [tool, args] : runs) {
    const tool_result result = run_tool(tool, args);
    ASSERT_TRUE(result.exited_with(0)) << result.describe();
    const std::string program = std::string(tool).substr(std::string(tool).rfind('/') + 1);
    EXPECT_EQ(result.out, program + " " + REFLECTOR_VERSION + "\n");
    EXPECT_TRUE(result.err.empty()) << result.err;
  }
}

}  // namespace
}  // namespace reflector::test
