// Replies leave from the address their request was sent to, on a host with
// several addresses of each family; a client or NAT would discard any other.
#include <gtest/gtest.h>

#include "tests/service/serving_service.h"
#include "tests/support/reflection_exchange.h"
#include "tests/support/udp_socket.h"

namespace reflector::test {
namespace {

using namespace std::chrono_literals;

class SeveralAddresses : public ServingService {
 protected:
  std::vector<std::string> local_addresses() const override {
    return {"192.0.2.1", "192.0.2.3", "2001:db8::2", "2001:db8::3"};
  }
};

struct query_case {
  const char* name;
  const char* client;
  const char* sent_to;
};

class QueryReplySource : public SeveralAddresses, public testing::WithParamInterface<query_case> {};

// The client sits on another local address than the one it asks, so a
// reply whose source the kernel picked would come from the client's own.
TEST_P(QueryReplySource, IsTheAddressTheQueryWasSentTo) {
  const query_case& c = GetParam();
  const udp_socket client(c.client);
  client.send_to(c.sent_to, service_port, make_request(QUERY, 3));
  const auto reply = client.receive(5s);
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(reply->from_address, address_of(c.sent_to));
  EXPECT_EQ(reply->from_port, service_port);
  EXPECT_EQ(tag_of(reply->bytes), 3u);
  EXPECT_EQ(endpoint_in(reply->bytes).address, address_of(c.client));
}

INSTANTIATE_TEST_SUITE_P(
    LocalAddresses, QueryReplySource,
    testing::Values(query_case{"SecondIpv4", "192.0.2.1", "192.0.2.3"},
                    query_case{"FirstIpv4", "192.0.2.3", "192.0.2.1"},
                    query_case{"SecondLoopback", "127.0.0.1", "127.0.0.2"},
                    query_case{"SecondIpv6", "2001:db8::2", "2001:db8::3"},
                    query_case{"FirstIpv6", "2001:db8::3", "2001:db8::2"},
                    query_case{"Ipv6FromLoopback", "::1", "2001:db8::3"}),
    [](const auto& info) { return info.param.name; });

struct forward_case {
  const char* name;
  const char* requester;
  const char* sent_to;
  const char* target;
  const char* expected_source;  // nullptr: any, the kernel chooses
};

class ForwardReplySource : public SeveralAddresses,
                           public testing::WithParamInterface<forward_case> {};

TEST_P(ForwardReplySource, IsTheAddressTheForwardArrivedAtWithinAFamily) {
  const forward_case& c = GetParam();
  const udp_socket requester(c.requester);
  const udp_socket target(c.target);
  requester.send_to(c.sent_to, service_port, make_forward(c.target, target.local_port(), 4));
  const auto reply = target.receive(5s);
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(tag_of(reply->bytes), 4u);
  EXPECT_EQ(read_type(reply->bytes.data()), FORWARD_REPLY);
  EXPECT_EQ(endpoint_in(reply->bytes).address, address_of(c.requester));
  if (c.expected_source != nullptr) {
    EXPECT_EQ(reply->from_address, address_of(c.expected_source));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Targets, ForwardReplySource,
    testing::Values(forward_case{"Ipv4", "192.0.2.1", "192.0.2.3", "192.0.2.1", "192.0.2.3"},
                    forward_case{"Ipv6", "2001:db8::2", "2001:db8::3", "2001:db8::2", "2001:db8::3"},
                    forward_case{"Ipv4RequesterIpv6Target", "192.0.2.1", "192.0.2.3", "2001:db8::2",
                                 nullptr},
                    forward_case{"Ipv6RequesterIpv4Target", "2001:db8::2", "2001:db8::3", "192.0.2.1",
                                 nullptr}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace reflector::test
