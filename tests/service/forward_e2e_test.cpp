#include <gtest/gtest.h>

#include "tests/service/serving_service.h"
#include "tests/support/reflection_exchange.h"
#include "tests/support/udp_socket.h"

namespace reflector::test {
namespace {

using namespace std::chrono_literals;

struct forward_case {
  const char* name;
  const char* requester;
  const char* target;
};

class Forward : public ServingService, public testing::WithParamInterface<forward_case> {};

TEST_P(Forward, TargetGetsTheRequesterEndpointAndTheRequesterNothing) {
  const forward_case& c = GetParam();
  const udp_socket requester(c.requester);
  const udp_socket target(c.target);
  requester.send_to(c.requester, service_port, make_forward(c.target, target.local_port(), 7));

  const auto reply = target.receive(5s);
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(reply->from_port, service_port);
  ASSERT_EQ(reply->bytes.size(), header_size);
  EXPECT_EQ(read_type(reply->bytes.data()), FORWARD_REPLY);
  EXPECT_EQ(tag_of(reply->bytes), 7u);
  EXPECT_EQ(endpoint_in(reply->bytes).address, address_of(c.requester));
  EXPECT_EQ(endpoint_in(reply->bytes).port, requester.local_port());
  EXPECT_FALSE(requester.receive(200ms).has_value());
}

INSTANTIATE_TEST_SUITE_P(
    AcrossFamilies, Forward,
    testing::Values(forward_case{"Ipv4RequesterIpv6Target", "192.0.2.1", "2001:db8::2"},
                    forward_case{"Ipv6RequesterMappedTarget", "2001:db8::2", "192.0.2.1"}),
    [](const auto& info) { return info.param.name; });

struct refused_case {
  const char* name;
  const char* target;
  std::uint16_t port;  // 0: any free port
};

class RefusedForward : public ServingService, public testing::WithParamInterface<refused_case> {};

// The FORWARD goes first and a QUERY after it from the same socket, so once
// the QUERY is answered the FORWARD has been handled: anything it caused to
// be sent would already be waiting at the target.
TEST_P(RefusedForward, NobodyGetsAnything) {
  const refused_case& c = GetParam();
  const udp_socket requester("192.0.2.1");
  const udp_socket target(c.target, c.port);
  requester.send_to("192.0.2.1", service_port, make_forward(c.target, target.local_port(), 8));
  requester.send_to("192.0.2.1", service_port, make_request(QUERY, 9));

  const auto answer = requester.receive(5s);
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(tag_of(answer->bytes), 9u);
  EXPECT_FALSE(target.receive(100ms).has_value());
  EXPECT_FALSE(requester.receive(100ms).has_value());
}

INSTANTIATE_TEST_SUITE_P(Targets, RefusedForward,
                         testing::Values(refused_case{"Ipv4Loopback", "127.0.0.1", 0},
                                         refused_case{"Ipv6Loopback", "::1", 0},
                                         refused_case{"PortBelow1024", "192.0.2.1", 1023}),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace reflector::test
