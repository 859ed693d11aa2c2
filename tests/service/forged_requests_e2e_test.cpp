// What the service answers when a sender on the link forges its source or
// asks a group, on two hosts the test makes itself:
//
//   server: the test's own namespace                client: a side namespace
//   srv0  192.0.2.1/24  2001:db8:1::1/64  -- veth --  cli0  192.0.2.2/24
//         2001:db8:1::5/64  fe80::1/64                      2001:db8:1::2/64
//   lo    local routes 198.51.100.0/24 and 2001:db8:2::/64, as anycast
//         hosts answer for a whole prefix
//
// A forged request leaves the client with the source an attacker chose; a
// socket on the server, on the port the attacker named, shows whether the
// answer came back into the server. The rest are sent by an ordinary socket
// on the client, which counts its answers. Each case runs with no ruleset
// loaded and with the egress guard loaded on the server: what the worker
// stops holds in both, what only the guard stops is answered without it.
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>

#include "protocol/message_layout.h"
#include "tests/support/forged_udp.h"
#include "tests/support/network_namespace.h"
#include "tests/support/reflection_exchange.h"
#include "tests/support/service_instance.h"
#include "tests/support/udp_socket.h"

namespace reflector::test {
namespace {

using namespace std::chrono_literals;

enum class sent_by { forger, client };
enum class stopped_by { nothing, worker, guard };

struct request_case {
  const char* name;
  sent_by sender;
  const char* source;  // forged, or the client socket's own address
  const char* destination;
  stopped_by stopper;
};

constexpr std::uint16_t forged_port = 5514;

const request_case cases[] = {
    {"Ipv4MappedLoopbackOverIpv6", sent_by::forger, "::ffff:127.0.0.1", "2001:db8:1::1",
     stopped_by::worker},
    {"Ipv4MappedServerOverIpv6", sent_by::forger, "::ffff:192.0.2.1", "2001:db8:1::1",
     stopped_by::worker},
    {"OwnOtherAddress", sent_by::forger, "2001:db8:1::5", "2001:db8:1::1", stopped_by::guard},
    {"OwnLinkLocalAddress", sent_by::forger, "fe80::1", "2001:db8:1::1", stopped_by::guard},
    {"Ipv4LimitedBroadcast", sent_by::client, "192.0.2.2", "255.255.255.255", stopped_by::worker},
    {"Ipv6AllNodesGroup", sent_by::client, "2001:db8:1::2", "ff02::1", stopped_by::worker},
    {"Ipv4LocalRoute", sent_by::client, "192.0.2.2", "198.51.100.7", stopped_by::nothing},
    {"Ipv6LocalRoute", sent_by::client, "2001:db8:1::2", "2001:db8:2::7", stopped_by::nothing},
};

class ForgedRequests : public testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    REFLECTOR_ENTER_NETNS_OR_SKIP({});
    client_ns_.emplace();
    link_namespaces("srv0", {"192.0.2.1/24", "2001:db8:1::1/64", "2001:db8:1::5/64", "fe80::1/64"},
                    *client_ns_, "cli0", {"192.0.2.2/24", "2001:db8:1::2/64"});
    run_command({"ip", "route", "add", "local", "198.51.100.0/24", "dev", "lo"});
    run_command({"ip", "-6", "route", "add", "local", "2001:db8:2::/64", "dev", "lo"});
    {
      const side_namespace::inside in(*client_ns_);
      run_command({"ip", "route", "add", "198.51.100.0/24", "via", "192.0.2.1"});
      run_command({"ip", "-6", "route", "add", "2001:db8:2::/64", "via", "2001:db8:1::1"});
    }
    service_.emplace();
    {
      // Also settles neighbour discovery, which a forged request's first
      // packet would otherwise wait on.
      const side_namespace::inside in(*client_ns_);
      ASSERT_TRUE(service_->wait_until_answering("192.0.2.1"));
      ASSERT_TRUE(service_->wait_until_answering("2001:db8:1::1"));
    }
    if (guarded()) run_command({"nft", "-f", REFLECTOR_EGRESS_RULESET});
  }

  void TearDown() override {
    if (service_) {
      EXPECT_TRUE(service_->stop_cleanly());
    }
  }

  bool guarded() const { return GetParam(); }

  bool answered(const request_case& c) const {
    return c.stopper == stopped_by::nothing || (c.stopper == stopped_by::guard && !guarded());
  }

  // How many answers one request got.
  int answers_to_forged(const request_case& c, std::uint32_t tag) {
    const udp_socket landing("::", forged_port);
    {
      const side_namespace::inside in(*client_ns_);
      send_forged_ipv6_udp(c.source, forged_port, c.destination, service_port,
                           make_request(QUERY, tag));
    }
    return count_answers(landing, tag, answered(c), nullptr);
  }

  int answers_to_client(const request_case& c, std::uint32_t tag, address16& answered_from) {
    std::optional<udp_socket> client;
    {
      const side_namespace::inside in(*client_ns_);
      client.emplace(c.source);
    }
    allow_groups(*client);
    client->send_to(c.destination, service_port, make_request(QUERY, tag));
    return count_answers(*client, tag, answered(c), &answered_from);
  }

  // Broadcast needs leave to send; an IPv6 group needs the interface.
  static void allow_groups(const udp_socket& client) {
    const int on = 1;
    const unsigned interface = if_nametoindex("cli0");
    ASSERT_EQ(setsockopt(client.fd(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on), 0);
    ASSERT_EQ(setsockopt(client.fd(), IPPROTO_IPV6, IPV6_MULTICAST_IF, &interface, sizeof interface), 0);
  }

  // An answer that comes is waited for; one that must not come is given
  // time it would take a healthy service many times over.
  static int count_answers(const udp_socket& at, std::uint32_t tag, bool expected, address16* from) {
    int count = 0;
    while (const auto reply = at.receive(count > 0 ? 200ms : expected ? 5000ms : 500ms)) {
      if (reply->bytes.size() < header_size || tag_of(reply->bytes) != tag) continue;
      if (from != nullptr) *from = reply->from_address;
      ++count;
    }
    return count;
  }

  std::optional<side_namespace> client_ns_;
  std::optional<service_instance> service_;
};

TEST_P(ForgedRequests, AreAnsweredOnlyToTheSenderAndOnlyOnce) {
  std::uint32_t tag = 100;
  for (const request_case& c : cases) {
    SCOPED_TRACE(c.name);
    address16 from{};
    const int answers = c.sender == sent_by::forger ? answers_to_forged(c, ++tag)
                                                    : answers_to_client(c, ++tag, from);
    EXPECT_EQ(answers, answered(c) ? 1 : 0);
    if (c.sender == sent_by::client && answers == 1) {
      EXPECT_EQ(from, address_of(c.destination)) << "answered from another address";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Guard, ForgedRequests, testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Loaded" : "NotLoaded"; });

}  // namespace
}  // namespace reflector::test
