// The client's pure parts: reading endpoint arguments and options, telling a
// reply from a look-alike, and the NAT verdicts.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "protocol/reflection.h"
#include "protocol/request.h"
#include "tests/support/addresses.h"
#include "tools/common/command_line.h"
#include "tools/common/endpoint_argument.h"
#include "tools/common/forward_refusal_text.h"
#include "tools/common/json_object.h"
#include "tools/common/protocol_numbers.h"
#include "tools/common/shown_argument.h"
#include "tools/common/socket_endpoint.h"
#include "tools/common/tool_errors.h"
#include "tools/common/version.h"
#include "tools/reflect/help_text.h"
#include "tools/reflect/nat_verdict.h"

namespace reflector::tools {
namespace {

using test::address_of;

struct split_case {
  const char* text;
  const char* host;
  int port;  // -1: none given
};

// Named by its text: ctest names each case by what this prints.
void PrintTo(const split_case& c, std::ostream* os) { *os << '"' << c.text << '"'; }

class SplitHostPort : public testing::TestWithParam<split_case> {};

TEST_P(SplitHostPort, Splits) {
  const host_and_port parts = split_host_port(GetParam().text);
  EXPECT_EQ(parts.host, GetParam().host);
  EXPECT_EQ(parts.port ? *parts.port : -1, GetParam().port);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, SplitHostPort,
    testing::Values(split_case{"reflector.example", "reflector.example", -1},
                    split_case{"reflector.example:5000", "reflector.example", 5000},
                    split_case{"192.0.2.1:65535", "192.0.2.1", 65535},
                    split_case{"2001:db8::1", "2001:db8::1", -1},
                    split_case{"[2001:db8::1]", "2001:db8::1", -1},
                    split_case{"[2001:db8::1]:1", "2001:db8::1", 1},
                    split_case{"[::ffff:192.0.2.1]:1213", "::ffff:192.0.2.1", 1213},
                    split_case{":5000", "", 5000}));

class SplitHostPortRejects : public testing::TestWithParam<const char*> {};

TEST_P(SplitHostPortRejects, WithUsageError) {
  EXPECT_THROW(split_host_port(GetParam()), usage_error);
}

INSTANTIATE_TEST_SUITE_P(Malformed, SplitHostPortRejects,
                         testing::Values("", "host:", "host:0", "host:65536", "host:99999999999",
                                         "host:-1", "host:+5", "host:12a", "[2001:db8::1",
                                         "[]:5", "[2001:db8::1]5", "[2001:db8::1]:"));

TEST(ResolveEndpoint, DefaultPortAndFamilies) {
  EXPECT_EQ(resolve_endpoint("192.0.2.1", service_port, address_family::any, "server").text(),
            "192.0.2.1:" + std::to_string(service_port));
  EXPECT_EQ(resolve_endpoint("[2001:db8::1]:7", service_port, address_family::ipv6, "server").text(),
            "[2001:db8::1]:7");
  EXPECT_THROW(resolve_endpoint("192.0.2.1", std::nullopt, address_family::any, "target"),
               usage_error);
  EXPECT_THROW(resolve_endpoint(":7", service_port, address_family::any, "server"), usage_error);
  EXPECT_EQ(resolve_endpoint(":7", std::nullopt, address_family::ipv4, "listen", true).text(),
            "0.0.0.0:7");
}

TEST(SocketEndpoint, IPv4AndItsMappedFormAreOneEndpoint) {
  const wire_endpoint mapped{port_bytes(40000), address_of("203.0.113.5")};
  const socket_endpoint v4 = socket_endpoint::from_wire(mapped);
  EXPECT_EQ(v4.family(), AF_INET);
  EXPECT_EQ(v4.text(), "203.0.113.5:40000");
  EXPECT_EQ(v4.wire(), mapped);
  const wire_endpoint v6{port_bytes(1), address_of("2001:db8::5")};
  EXPECT_EQ(socket_endpoint::from_wire(v6).text(), "[2001:db8::5]:1");
  EXPECT_EQ(socket_endpoint::from_wire(v6).wire(), v6);
}

// What a command reads from its line: options in either form and in any
// place, the last of a repeated option, "--" ending the options.
struct read_line {
  std::string server;
  unsigned tries = 3;
  std::optional<double> timeout;
  bool json = false;
  address_family family = address_family::any;
};

read_line read_command_line(const std::vector<std::string>& args) {
  read_line got;
  command_line line("reflect test", "Usage: reflect test\n");
  line.add_count("--tries", got.tries, 1, 100);
  line.add_seconds("--timeout", got.timeout, 0.001, 60);
  line.add_flag("--json", got.json);
  line.add_family(got.family);
  line.add_positional("SERVER", got.server);
  EXPECT_TRUE(line.parse(args));
  return got;
}

TEST(CommandLine, ReadsOptionsInEitherFormAndStopsAtDoubleDash) {
  const read_line got = read_command_line({"--tries=4", "a", "--timeout", "0.2", "--json", "-6"});
  EXPECT_EQ(got.server, "a");
  EXPECT_EQ(got.tries, 4u);
  EXPECT_EQ(got.timeout, 0.2);
  EXPECT_TRUE(got.json);
  EXPECT_EQ(got.family, address_family::ipv6);
  EXPECT_EQ(read_command_line({"--tries", "2", "x", "--tries", "5"}).tries, 5u);
  EXPECT_EQ(read_command_line({"--", "--tries"}).server, "--tries");
  EXPECT_FALSE(read_command_line({"x"}).timeout.has_value());
}

// Each mistake is one usage_error line naming what was wrong.
TEST(CommandLine, RejectsWhatItCannotTakeNamingIt) {
  const std::pair<std::vector<std::string>, std::string> mistakes[] = {
      {{"--bogus", "x"}, "unknown option '--bogus'"},
      {{"x", "y"}, "unexpected argument 'y': expected SERVER"},
      {{}, "missing argument: expected SERVER"},
      {{"--bogus"}, "unknown option '--bogus'"},
      {{"x", "--tries"}, "option --tries needs a value"},
      {{"x", "--tries", "0"}, "--tries: must be from 1 to 100, not 0"},
      {{"x", "--tries", "12x"}, "--tries: must be a whole number from 1 to 100, not '12x'"},
      {{"x", "--tries", "-1"}, "--tries"},
      {{"x", "--tries", "18446744073709551616"}, "--tries: must be a whole number"},
      {{"x", "--timeout", "nan"}, "--timeout: must be a number from 0.001 to 60 seconds, not 'nan'"},
      {{"x", "--timeout", "inf"}, "--timeout: must be a number"},
      {{"x", "--timeout", "1e400"}, "--timeout: must be a number"},
      {{"x", "--timeout", "61"}, "--timeout: must be from 0.001 to 60 seconds, not 61"},
      {{"x", "-4", "-6"}, "-4 and -6 exclude each other"},
      {{"x", std::string("--a\nb")}, "unknown option '--a\\nb'"},
  };
  for (const auto& [args, message] : mistakes) {
    try {
      read_command_line(args);
      ADD_FAILURE() << "accepted: " << testing::PrintToString(args);
    } catch (const usage_error& error) {
      const std::string what = error.what();
      EXPECT_NE(what.find(message), std::string::npos) << what;
      EXPECT_EQ(what.find('\n'), std::string::npos) << what;
    }
  }
}

TEST(CommandLine, HelpAndVersionAreAnsweredNotRead) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--help"}, {"x", "-h"}, {"--version"}, {"--bogus", "--help"}}) {
    testing::internal::CaptureStdout();
    command_line line("reflect test", "Usage: reflect test\n");
    std::string server;
    line.add_positional("SERVER", server);
    EXPECT_FALSE(line.parse(args)) << testing::PrintToString(args);
    const std::string printed = testing::internal::GetCapturedStdout();
    if (args.back() == "--version") {
      EXPECT_EQ(printed, "reflect " + project_version() + "\n");
    } else {
      EXPECT_EQ(printed, "Usage: reflect test\n");
    }
  }
}

// User text in messages: control characters escaped, long text cut with
// its length named, so that an error stays one readable line.
TEST(ShownArgument, EscapesAndShortens) {
  EXPECT_EQ(quoted_argument("host.example"), "'host.example'");
  EXPECT_EQ(shown_argument("a\nb\tc\x01\x7f"), "a\\nb\\tc\\x01\\x7f");
  const std::string long_text(5000, 'a');
  const std::string shown = shown_argument(long_text);
  EXPECT_LT(shown.size(), 100u);
  EXPECT_NE(shown.find("(5000 characters)"), std::string::npos) << shown;
  EXPECT_EQ(shown_argument(std::string(80, 'b')), std::string(80, 'b'));
  EXPECT_EQ(one_line("x\ny"), "x\\ny");
}

// The warning names the one rule a refused target breaks.
TEST(ForwardRefusal, NamesTheRuleThatApplies) {
  const auto message_for = [](const char* text) {
    return forward_refusal_message(resolve_endpoint(text, std::nullopt, address_family::any, "t"));
  };
  EXPECT_FALSE(message_for("192.0.2.7:5000").has_value());
  const std::pair<const char*, const char*> refused[] = {
      {"192.0.2.7:80", "its port is below 1024"},
      {"127.0.0.1:5000", "loopback"},
      {"[fd00::1]:5000", "private"},
      {"[fe80::1]:5000", "link-local"},
      {"224.0.0.1:5000", "multicast"},
      {"0.0.0.0:5000", "unspecified"},
      {"255.255.255.255:5000", "broadcast"},
  };
  for (const auto& [target, rule] : refused) {
    const auto message = message_for(target);
    ASSERT_TRUE(message.has_value()) << target;
    EXPECT_NE(message->find(rule), std::string::npos) << *message;
    for (const char* other : {"loopback", "private", "link-local", "multicast", "unspecified",
                              "broadcast", "port"}) {
      if (std::string(rule).find(other) == std::string::npos) {
        EXPECT_EQ(message->find(other), std::string::npos) << *message;
      }
    }
  }
}

TEST(JsonObject, EscapesStrings) {
  json_object out;
  out.add_string("k", "a\"b\\c\n\x01").add_number("n", 1.0 / 0.0).add_bool("b", true);
  EXPECT_EQ(out.text(), R"({"k":"a\"b\\c\n\u0001","n":null,"b":true})");
}

// A request written by write_request, answered by the service's own
// handler, is recognised; each single difference makes it a stranger.
class Answers : public testing::Test {
 protected:
  void SetUp() override {
    request_key key;
    for (std::size_t i = 0; i < key.transaction_id.size(); ++i) key.transaction_id[i] = 0x30 + i;
    key.prefix = {1, 2, 3, 4};
    write_request(request.data(), QUERY, key);
    reply = request;
    std::array<std::uint8_t, 16> address = address_of("192.0.2.1");
    std::uint16_t port = 0x409c;
    bool drop = true;
    const std::uint32_t length = header_size;
    handle_message(address, port, reply.data(), length, drop);
    ASSERT_FALSE(drop);
  }
  std::array<std::uint8_t, header_size> request{};
  std::array<std::uint8_t, header_size> reply{};
};

TEST_F(Answers, TheHandlersReply) {
  EXPECT_TRUE(answers(request.data(), request.size(), reply.data(), reply.size()));
}

TEST_F(Answers, NotWhenAnyKeyByteOrTheTypeDiffers) {
  for (const std::size_t offset : {0, 3, 4, 7, 8, 19, 20, 21}) {
    auto changed = reply;
    changed[offset] ^= 0x01;
    EXPECT_FALSE(answers(request.data(), request.size(), changed.data(), changed.size()))
        << "byte " << offset;
  }
  EXPECT_FALSE(answers(request.data(), request.size(), reply.data(), reply.size() - 1));
  EXPECT_FALSE(answers(request.data(), request.size(), request.data(), request.size()))
      << "a request is no reply to itself";
}

TEST(WriteRequest, ForwardCarriesTheTargetInTheRequestsKey) {
  request_key key;
  key.transaction_id = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 0xff, 0xee};
  const wire_endpoint target{port_bytes(5000), address_of("2001:db8::1")};
  std::array<std::uint8_t, header_size> message{};
  write_request(message.data(), FORWARD, key, target);
  EXPECT_EQ(read_type(message.data()), FORWARD);
  EXPECT_TRUE(has_magic(message.data()));
  EXPECT_EQ(decode_endpoint(message.data()), target);
}

// The tools' texts take the protocol's numbers from the protocol module.
TEST(ProtocolNumbers, FillsEachPlaceholderAndKeepsAllOtherText) {
  const std::string port = std::to_string(service_port);
  struct fill_case {
    std::string_view text;
    std::string filled;
  };
  for (const fill_case& c :
       {fill_case{"UDP port {service_port}.", "UDP port " + port + "."},
        fill_case{"{header_size} to {longest_request}",
                  std::to_string(header_size) + " to " + std::to_string(longest_request)},
        fill_case{"below {lowest_forward_port}", "below " + std::to_string(lowest_forward_port)},
        fill_case{"{service_port}{service_port}", port + port},
        fill_case{"{service_port", "{service_port"}, fill_case{"{other} {}", "{other} {}"},
        fill_case{"", ""}}) {
    EXPECT_EQ(with_protocol_numbers(c.text), c.filled) << c.text;
  }
}

// Every help text is whole, and each names the service's port (as the
// default port of SERVER, or as the port replies come from).
TEST(HelpText, NamesTheServicePortAndLeavesNoPlaceholder) {
  const std::pair<const char*, const std::string*> texts[] = {
      {"reflect", &reflect_help}, {"query", &query_help}, {"forward", &forward_help},
      {"listen", &listen_help},   {"nat", &nat_help}};
  for (const auto& [name, text] : texts) {
    EXPECT_EQ(text->find_first_of("{}"), std::string::npos) << name;
    EXPECT_NE(text->find(std::to_string(service_port)), std::string::npos) << name;
  }
  EXPECT_NE(forward_help.find("below " + std::to_string(lowest_forward_port)), std::string::npos);
}

struct verdict_case {
  const char* name;
  bool same_mapping;
  bool from_b;
  bool control;
  bool translated;
  mapping_behaviour mapping;
  filtering_behaviour filtering;
};

class NatVerdict : public testing::TestWithParam<verdict_case> {};

TEST_P(NatVerdict, FollowsTheObservations) {
  const verdict_case& c = GetParam();
  nat_observations seen;
  seen.local = {port_bytes(40000), address_of("198.51.100.2")};
  seen.mapped_by_a = c.translated ? wire_endpoint{port_bytes(1111), address_of("203.0.113.1")}
                                  : seen.local;
  seen.mapped_by_b = seen.mapped_by_a;
  if (!c.same_mapping) seen.mapped_by_b.port = port_bytes(2222);
  seen.forward_from_b_arrived = c.from_b;
  seen.control_from_a_arrived = c.control;
  const nat_verdict verdict = classify(seen);
  EXPECT_EQ(verdict.translated, c.translated);
  EXPECT_EQ(verdict.mapping, c.mapping);
  EXPECT_EQ(verdict.filtering, c.filtering);
}

using mb = mapping_behaviour;
using fb = filtering_behaviour;

INSTANTIATE_TEST_SUITE_P(
    Observations, NatVerdict,
    testing::Values(
        verdict_case{"open", true, true, true, false, mb::endpoint_independent, fb::endpoint_independent},
        verdict_case{"full_cone", true, true, true, true, mb::endpoint_independent, fb::endpoint_independent},
        verdict_case{"restricted", true, false, true, true, mb::endpoint_independent, fb::endpoint_dependent},
        verdict_case{"symmetric", false, false, true, true, mb::endpoint_dependent, fb::endpoint_dependent},
        verdict_case{"no_control", true, false, false, true, mb::endpoint_independent, fb::inconclusive},
        verdict_case{"b_without_control", true, true, false, true, mb::endpoint_independent, fb::inconclusive}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace reflector::tools
