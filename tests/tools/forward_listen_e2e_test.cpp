// reflect forward through the real service to a reflect listen on a
// documentation address: the requester's address must arrive.
#include <gtest/gtest.h>

#include "protocol/request.h"
#include "tests/support/network_namespace.h"
#include "tests/support/reflection_exchange.h"
#include "tests/support/service_instance.h"
#include "tests/support/udp_socket.h"
#include "tests/tools/tool_run.h"

namespace reflector::test {
namespace {

using namespace std::chrono_literals;

const std::vector<std::string> namespace_addresses{"192.0.2.1", "2001:db8::2"};

struct forward_case {
  const char* name;
  const char* server;            // as reflect forward is given it
  const char* listen_address;    // bare, for the port probe
  const char* target;            // host:port for forward and listen
  const char* requester_prefix;  // how the requester's endpoint starts
};

const forward_case forward_cases[] = {
    {"ipv4", "192.0.2.1", "192.0.2.1", "192.0.2.1:5000", "\"requester\":\"192.0.2.1:"},
    {"ipv6", "[2001:db8::2]", "2001:db8::2", "[2001:db8::2]:5000", "\"requester\":\"[2001:db8::2]:"},
    {"ipv4_requester_ipv6_target", "192.0.2.1", "2001:db8::2", "[2001:db8::2]:5000",
     "\"requester\":\"192.0.2.1:"},
};

class ForwardToListener : public testing::TestWithParam<forward_case> {};

TEST_P(ForwardToListener, DeliversTheRequestersAddress) {
  REFLECTOR_ENTER_NETNS_OR_SKIP(namespace_addresses);
  const forward_case& c = GetParam();
  service_instance service;
  ASSERT_TRUE(service.wait_until_answering("192.0.2.1"));
  tool_run listener(REFLECT_PATH, {"listen", c.target, "--count", "1", "--timeout", "10", "--json"});
  ASSERT_TRUE(wait_until_port_taken(c.listen_address, 5000));

  const tool_result asked = run_tool(REFLECT_PATH, {"forward", c.server, c.target});
  ASSERT_TRUE(asked.exited_with(0)) << asked.describe();
  EXPECT_TRUE(asked.err.empty()) << asked.err;

  const tool_result heard = listener.finish();
  ASSERT_TRUE(heard.exited_with(0)) << heard.describe();
  EXPECT_NE(heard.out.find(c.requester_prefix), std::string::npos) << heard.out;
  EXPECT_NE(heard.out.find("\"server\":\""), std::string::npos) << heard.out;
  EXPECT_TRUE(service.stop_cleanly());
}

INSTANTIATE_TEST_SUITE_P(Targets, ForwardToListener, testing::ValuesIn(forward_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// Everything but a FORWARD_REPLY is passed over, and each reply is one line
// naming the carried endpoint and the sender.
TEST(Listen, PrintsOnlyForwardReplies) {
  REFLECTOR_ENTER_NETNS_OR_SKIP(namespace_addresses);
  tool_run listener(REFLECT_PATH, {"listen", "192.0.2.1:5000", "--count", "1", "--timeout", "10"});
  ASSERT_TRUE(wait_until_port_taken("192.0.2.1", 5000));
  const udp_socket sender("192.0.2.1", 7000);
  const wire_endpoint carried{port_bytes(40000), address_of("203.0.113.5")};
  auto as_reply = [&](std::uint16_t type, std::size_t length) {
    std::vector<std::uint8_t> message = make_request(QUERY, 1, length);
    write_type(message.data(), type);
    if (length >= header_size) encode_endpoint(message.data(), carried);
    return message;
  };
  sender.send_to("192.0.2.1", 5000, as_reply(QUERY_REPLY, header_size));
  sender.send_to("192.0.2.1", 5000, as_reply(FORWARD, header_size));
  sender.send_to("192.0.2.1", 5000, as_reply(FORWARD_REPLY, header_size - 1));
  sender.send_to("192.0.2.1", 5000, as_reply(FORWARD_REPLY, header_size));

  const tool_result heard = listener.finish();
  ASSERT_TRUE(heard.exited_with(0)) << heard.describe();
  EXPECT_EQ(heard.out, "203.0.113.5:40000 from 192.0.2.1:7000\n");
}

// --from takes replies from that reflector's address and port alone, an
// IPv4 reflector included when the listener is on the dual-stack wildcard.
TEST(Listen, FromTakesOnlyTheNamedReflector) {
  REFLECTOR_ENTER_NETNS_OR_SKIP(namespace_addresses);
  for (const char* local : {"192.0.2.1:5000", ":5000"}) {
    tool_run listener(REFLECT_PATH, {"listen", local, "--from", "192.0.2.1:7000", "--count", "1",
                                     "--timeout", "10"});
    ASSERT_TRUE(wait_until_port_taken("192.0.2.1", 5000));
    std::vector<std::uint8_t> reply = make_request(QUERY, 1);
    write_type(reply.data(), FORWARD_REPLY);
    encode_endpoint(reply.data(), wire_endpoint{port_bytes(40000), address_of("203.0.113.5")});
    const udp_socket other_port("192.0.2.1", 7001);
    other_port.send_to("192.0.2.1", 5000, reply);
    const udp_socket other_family("2001:db8::2", 7000);
    other_family.send_to("2001:db8::2", 5000, reply);
    encode_endpoint(reply.data(), wire_endpoint{port_bytes(40001), address_of("203.0.113.6")});
    const udp_socket reflector("192.0.2.1", 7000);
    reflector.send_to("192.0.2.1", 5000, reply);
    const tool_result heard = listener.finish();
    ASSERT_TRUE(heard.exited_with(0)) << local << ": " << heard.describe();
    EXPECT_EQ(heard.out, "203.0.113.6:40001 from 192.0.2.1:7000\n") << local;
  }
}

TEST(Listen, DashSixOnTheWildcardTakesNoIPv4) {
  REFLECTOR_ENTER_NETNS_OR_SKIP(namespace_addresses);
  tool_run listener(REFLECT_PATH, {"listen", "-6", ":5000", "--count", "1", "--timeout", "10"});
  ASSERT_TRUE(wait_until_port_taken("::", 5000));
  std::vector<std::uint8_t> reply = make_request(QUERY, 1);
  write_type(reply.data(), FORWARD_REPLY);
  encode_endpoint(reply.data(), wire_endpoint{port_bytes(40000), address_of("203.0.113.5")});
  const udp_socket v4("192.0.2.1", 7000);
  v4.send_to("192.0.2.1", 5000, reply);
  const udp_socket v6("2001:db8::2", 7000);
  v6.send_to("2001:db8::2", 5000, reply);
  const tool_result heard = listener.finish();
  ASSERT_TRUE(heard.exited_with(0)) << heard.describe();
  EXPECT_EQ(heard.out, "203.0.113.5:40000 from [2001:db8::2]:7000\n");
}

TEST(Listen, TimeoutBeforeCountFailsWithStatusTwo) {
  REFLECTOR_ENTER_NETNS_OR_SKIP(namespace_addresses);
  const tool_result result =
      run_tool(REFLECT_PATH, {"listen", "192.0.2.1:5000", "--count", "2", "--timeout", "0.2"});
  EXPECT_TRUE(result.exited_with(2)) << result.describe();
  EXPECT_NE(result.err.find("0 of 2"), std::string::npos) << result.err;
}

TEST(Listen, TimeoutWithoutCountEndsNormally) {
  REFLECTOR_ENTER_NETNS_OR_SKIP(namespace_addresses);
  const tool_result result = run_tool(REFLECT_PATH, {"listen", ":5000", "--timeout", "0.2"});
  EXPECT_TRUE(result.exited_with(0)) << result.describe();
}

TEST(Forward, WarnsAboutATargetTheServiceRefusesButStillSends) {
  REFLECTOR_ENTER_NETNS_OR_SKIP(namespace_addresses);
  const udp_socket server("192.0.2.1", 7000);
  const tool_result result = run_tool(REFLECT_PATH, {"forward", "192.0.2.1:7000", "127.0.0.1:5000"});
  EXPECT_TRUE(result.exited_with(0)) << result.describe();
  EXPECT_NE(result.err.find("refuses"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("loopback"), std::string::npos) << result.err;
  EXPECT_EQ(result.err.find("private"), std::string::npos) << "only the rule that applies";
  const auto request = server.receive(2s);
  ASSERT_TRUE(request.has_value());
  ASSERT_EQ(request->bytes.size(), header_size);
  EXPECT_EQ(read_type(request->bytes.data()), FORWARD);
  const wire_endpoint target = decode_endpoint(request->bytes.data());
  EXPECT_EQ(target.address, address_of("127.0.0.1"));
  EXPECT_EQ(port_number(target), 5000);
}

}  // namespace
}  // namespace reflector::test
