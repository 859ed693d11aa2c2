// The client's pure parts: reading endpoint arguments and options, telling a
// reply from a look-alike, and the NAT verdicts.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "protocol/reflection.h"
#include "protocol/request.h"
#include "tests/support/addresses.h"
#include "tools/common/command_line.h"
#include "tools/common/endpoint_argument.h"
#include "tools/common/json_object.h"
#include "tools/common/protocol_numbers.h"
#include "tools/common/socket_endpoint.h"
#include "tools/common/tool_errors.h"
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

TEST(CommandLine, ReadsOptionsInEitherFormAndStopsAtDoubleDash) {
  const command_line line({"--tries=4", "a", "--timeout", "0.2", "--json", "--", "--tries"},
                          {{"--tries", true}, {"--timeout", true}, {"--json"}});
  EXPECT_EQ(line.value("--tries"), "4");
  EXPECT_EQ(line.value("--timeout"), "0.2");
  EXPECT_TRUE(line.has("--json"));
  EXPECT_EQ(line.positionals(), (std::vector<std::string>{"a", "--tries"}));
}

TEST(CommandLine, RejectsWhatItDoesNotKnow) {
  const std::vector<known_option> options{{"--tries", true}, {"--json"}};
  EXPECT_THROW(command_line({"--bogus"}, options), usage_error);
  EXPECT_THROW(command_line({"--tries"}, options), usage_error);
  EXPECT_THROW(command_line({"--json=yes"}, options), usage_error);
  EXPECT_THROW(parse_count("12x", "--n", 1, 100), usage_error);
  EXPECT_THROW(parse_count("18446744073709551616", "--n", 1, UINT64_MAX), usage_error);
  EXPECT_THROW(parse_seconds("nan", "--t", 0, 10), usage_error);
  EXPECT_THROW(parse_seconds("inf", "--t", 0, 10), usage_error);
  EXPECT_THROW(parse_seconds("1e400", "--t", 0, 10), usage_error);
  EXPECT_EQ(parse_seconds("0.5", "--t", 0, 10), 0.5);
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
