#include "platform/reply_source.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/worker/sent_source.h"
#include "worker/request_admission.h"

namespace reflector {
namespace {

sockaddr_in6 ipv6_endpoint(const char* text, std::uint32_t scope = 0) {
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_port = htons(1213);
  a.sin6_scope_id = scope;
  EXPECT_EQ(inet_pton(AF_INET6, text, &a.sin6_addr), 1) << text;
  return a;
}

sockaddr_in ipv4_endpoint(const char* text) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(1213);
  EXPECT_EQ(inet_pton(AF_INET, text, &a.sin_addr), 1) << text;
  return a;
}

// One slot's message as a receive leaves it: the reply's destination in
// msg_name (IPv4 as ::ffff:a.b.c.d) and the kernel's report of where the
// request arrived, an IPv6 or an IPv4 endpoint by the text's form.
struct received_message {
  sockaddr_in6 destination{};
  reply_source_buffer control{};
  msghdr message{};

  received_message(const char* reply_to, const char* arrived_at, std::uint32_t scope = 0) {
    destination = ipv6_endpoint(reply_to);
    message.msg_name = &destination;
    message.msg_namelen = sizeof destination;
    message.msg_control = control.bytes;
    message.msg_controllen = sizeof control.bytes;
    cmsghdr* c = CMSG_FIRSTHDR(&message);
    if (std::strchr(arrived_at, ':') != nullptr) {
      const sockaddr_in6 local = ipv6_endpoint(arrived_at, scope);
      report(*c, IPPROTO_IPV6, IPV6_ORIGDSTADDR, &local, sizeof local);
    } else {
      const sockaddr_in local = ipv4_endpoint(arrived_at);
      report(*c, IPPROTO_IP, IP_ORIGDSTADDR, &local, sizeof local);
    }
  }

  void report(cmsghdr& c, int level, int type, const void* data, std::size_t size) {
    c.cmsg_level = level;
    c.cmsg_type = type;
    c.cmsg_len = CMSG_LEN(size);
    std::memcpy(CMSG_DATA(&c), data, size);
    message.msg_controllen = CMSG_SPACE(size);
  }
};

// What a send of message would be told: the source address as text and the
// interface it is tied to, or "kernel" when it carries no control data.
std::string source_of(const msghdr& message, unsigned* interface) {
  *interface = 0;
  if (message.msg_controllen == 0) return "kernel";
  const test::sent_source source = test::sent_source_of(*CMSG_FIRSTHDR(&message));
  if (source.address.empty()) return "unexpected control data";
  // The whole message and nothing after it, in the length the send takes.
  if (message.msg_controllen != source.control_length) {
    return "control length " + std::to_string(message.msg_controllen);
  }
  *interface = source.interface;
  return source.address;
}

struct source_case {
  const char* name;
  const char* reply_to;
  const char* arrived_at;
  std::uint32_t scope;
  const char* source;  // "kernel": no control data, the kernel chooses
  unsigned interface;   // the interface the reply is tied to (0: routing's choice)
};

class ReplySource : public testing::TestWithParam<source_case> {};

TEST_P(ReplySource, IsTheArrivalAddressWhereItCanBe) {
  const source_case& c = GetParam();
  received_message m(c.reply_to, c.arrived_at, c.scope);
  reply_from_destination_address(m.message);
  unsigned interface = 0;
  EXPECT_EQ(source_of(m.message, &interface), c.source);
  EXPECT_EQ(interface, c.interface);
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, ReplySource,
    testing::Values(
        source_case{"Ipv4", "::ffff:198.51.100.1", "192.0.2.3", 0, "192.0.2.3", 0},
        source_case{"Ipv6", "2001:db8::100", "2001:db8::3", 0, "2001:db8::3", 0},
        source_case{"Ipv6LinkLocal", "fe80::2", "fe80::1", 7, "fe80::1", 7},
        source_case{"Ipv6GlobalKeepsRoutingsChoice", "2001:db8::100", "2001:db8::3", 7,
                    "2001:db8::3", 0},
        source_case{"Ipv4RequestIpv6Target", "2001:db8::100", "192.0.2.3", 0, "kernel", 0},
        source_case{"Ipv6RequestIpv4Target", "::ffff:198.51.100.1", "2001:db8::3", 0, "kernel",
                    0},
        source_case{"Ipv4Broadcast", "::ffff:192.0.2.100", "255.255.255.255", 0, "kernel", 0},
        source_case{"Ipv4Multicast", "::ffff:192.0.2.100", "224.0.0.251", 0, "kernel", 0},
        source_case{"Ipv6Multicast", "2001:db8::100", "ff02::1", 0, "kernel", 0}),
    [](const auto& info) { return info.param.name; });

// Control data that is not one destination report never reaches a send.
TEST(ReplySource, AnythingButADestinationReportLeavesNoControlData) {
  const auto expect_none = [](received_message& m, const char* what) {
    reply_from_destination_address(m.message);
    EXPECT_EQ(m.message.msg_controllen, 0u) << what;
  };
  received_message empty("2001:db8::100", "2001:db8::3");
  empty.message.msg_controllen = 0;
  expect_none(empty, "nothing reported");

  received_message other_type("2001:db8::100", "2001:db8::3");
  CMSG_FIRSTHDR(&other_type.message)->cmsg_type = IPV6_PKTINFO;
  expect_none(other_type, "another message type");

  received_message other_level("::ffff:198.51.100.1", "192.0.2.3");
  CMSG_FIRSTHDR(&other_level.message)->cmsg_level = IPPROTO_IPV6;
  expect_none(other_level, "another level");

  received_message short_length("2001:db8::100", "2001:db8::3");
  CMSG_FIRSTHDR(&short_length.message)->cmsg_len = CMSG_LEN(sizeof(sockaddr_in));
  expect_none(short_length, "a report of the wrong size");
}

// The same reports decide which requests may be answered at all.
TEST(RequestAdmission, RefusesGroupDestinationsAndMappedSourcesOverIpv6) {
  struct admission_case {
    const char* source;
    const char* arrived_at;
    bool answerable;
  };
  const admission_case cases[] = {
      {"::ffff:192.0.2.100", "192.0.2.3", true},
      {"2001:db8::100", "2001:db8::3", true},
      {"::ffff:192.0.2.100", "192.0.2.255", true},  // a subnet's broadcast: the send fails
      {"::ffff:127.0.0.1", "2001:db8::3", false},
      {"::ffff:192.0.2.100", "255.255.255.255", false},
      {"::ffff:192.0.2.100", "224.0.0.1", false},
      {"::ffff:192.0.2.100", "239.255.255.250", false},
      {"2001:db8::100", "ff02::1", false},
      {"2001:db8::100", "ff05::1:3", false},
  };
  for (const admission_case& c : cases) {
    received_message m(c.source, c.arrived_at);
    EXPECT_EQ(is_answerable(m.destination.sin6_addr, m.message), c.answerable)
        << c.source << " to " << c.arrived_at;
  }
  received_message unreported("::ffff:192.0.2.100", "192.0.2.3");
  unreported.message.msg_controllen = 0;
  EXPECT_FALSE(is_answerable(unreported.destination.sin6_addr, unreported.message));
}

}  // namespace
}  // namespace reflector
