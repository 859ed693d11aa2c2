#include "platform/reply_source.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>

namespace reflector {
namespace {

in6_addr address(const char* text) {
  in6_addr a{};
  EXPECT_EQ(inet_pton(AF_INET6, text, &a), 1) << text;
  return a;
}

// One slot's message as a receive leaves it: the destination of the reply
// in msg_name, and the control data the kernel reported.
struct received_message {
  sockaddr_in6 destination{};
  reply_source_buffer control{};
  msghdr message{};

  received_message(const char* reply_to, const char* arrived_at, unsigned interface) {
    destination.sin6_family = AF_INET6;
    destination.sin6_addr = address(reply_to);
    message.msg_name = &destination;
    message.msg_namelen = sizeof destination;
    message.msg_control = control.bytes;
    message.msg_controllen = CMSG_SPACE(sizeof(in6_pktinfo));
    cmsghdr* c = CMSG_FIRSTHDR(&message);
    c->cmsg_level = IPPROTO_IPV6;
    c->cmsg_type = IPV6_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(in6_pktinfo));
    const in6_pktinfo info{address(arrived_at), interface};
    std::memcpy(CMSG_DATA(c), &info, sizeof info);
  }

  in6_pktinfo info() const {
    in6_pktinfo i;
    std::memcpy(&i, CMSG_DATA(CMSG_FIRSTHDR(&message)), sizeof i);
    return i;
  }
};

struct source_case {
  const char* name;
  const char* reply_to;
  const char* arrived_at;
  bool sent_from_it;       // false: no control data, the kernel chooses
  unsigned interface_kept;  // the interface the reply is tied to (0: routing)
};

class ReplySource : public testing::TestWithParam<source_case> {};

TEST_P(ReplySource, NamesTheArrivalAddressWhereItCan) {
  const source_case& c = GetParam();
  received_message m(c.reply_to, c.arrived_at, 7);
  reply_from_destination_address(m.message);
  if (!c.sent_from_it) {
    EXPECT_EQ(m.message.msg_controllen, 0u);
    return;
  }
  ASSERT_EQ(m.message.msg_controllen, CMSG_SPACE(sizeof(in6_pktinfo)));
  const in6_pktinfo info = m.info();
  const in6_addr expected = address(c.arrived_at);
  EXPECT_EQ(std::memcmp(&info.ipi6_addr, &expected, sizeof expected), 0);
  EXPECT_EQ(info.ipi6_ifindex, c.interface_kept);
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, ReplySource,
    testing::Values(
        source_case{"Ipv4", "::ffff:198.51.100.1", "::ffff:192.0.2.3", true, 0},
        source_case{"Ipv6", "2001:db8::100", "2001:db8::3", true, 0},
        source_case{"Ipv6LinkLocal", "fe80::2", "fe80::1", true, 7},
        source_case{"Ipv4LinkLocal", "::ffff:169.254.1.2", "::ffff:169.254.1.1", true, 7},
        source_case{"Ipv4RequestIpv6Target", "2001:db8::100", "::ffff:192.0.2.3", false, 0},
        source_case{"Ipv6RequestIpv4Target", "::ffff:198.51.100.1", "2001:db8::3", false, 0},
        source_case{"Ipv4Broadcast", "::ffff:192.0.2.100", "::ffff:255.255.255.255", false, 0},
        source_case{"Ipv4Multicast", "::ffff:192.0.2.100", "::ffff:224.0.0.251", false, 0},
        source_case{"Ipv6Multicast", "2001:db8::100", "ff02::1", false, 0}),
    [](const auto& info) { return info.param.name; });

// Control data that is not what the socket asked for never reaches a send.
TEST(ReplySource, AnythingButOneDestinationReportLeavesNoControlData) {
  const auto expect_none = [](received_message& m, const char* what) {
    reply_from_destination_address(m.message);
    EXPECT_EQ(m.message.msg_controllen, 0u) << what;
  };
  received_message empty("2001:db8::100", "2001:db8::3", 7);
  empty.message.msg_controllen = 0;
  expect_none(empty, "nothing reported");

  received_message other_type("2001:db8::100", "2001:db8::3", 7);
  CMSG_FIRSTHDR(&other_type.message)->cmsg_type = IPV6_HOPLIMIT;
  expect_none(other_type, "another message type");

  received_message other_level("2001:db8::100", "2001:db8::3", 7);
  CMSG_FIRSTHDR(&other_level.message)->cmsg_level = IPPROTO_IP;
  expect_none(other_level, "another level");

  received_message short_length("2001:db8::100", "2001:db8::3", 7);
  CMSG_FIRSTHDR(&short_length.message)->cmsg_len = CMSG_LEN(8);
  expect_none(short_length, "a truncated report");
}

TEST(ReplySource, SendsTheDestinationReportAlone) {
  received_message m("2001:db8::100", "2001:db8::3", 7);
  m.message.msg_controllen = sizeof m.control.bytes;
  reply_from_destination_address(m.message);
  EXPECT_EQ(m.message.msg_controllen, CMSG_SPACE(sizeof(in6_pktinfo)));
}

}  // namespace
}  // namespace reflector
