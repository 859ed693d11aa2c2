// The nftables egress guard against the forward filter's gaps, on three
// namespaces the test makes itself, so that every datagram ends at one of
// its own hosts:
//
//   service   192.0.2.2      -- veth --  router  192.0.2.1      (forwards)
//             2001:db8:1::2                      2001:db8:1::1
//   world     203.0.113.2    -- veth --  router  203.0.113.1
//             2001:db8:2::2                      2001:db8:2::1
//
// The service and the world route by default through the router, and the
// router towards the world, which holds every target address on its lo.
// The ruleset is loaded on the service's host (its output chain) or on the
// router (its forward chain, told the service's addresses), or nowhere,
// which shows that what it stops does leave without it.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "protocol/endpoint_encoding.h"
#include "protocol/message_layout.h"
#include "protocol/request.h"
#include "tests/support/addresses.h"
#include "tests/support/network_namespace.h"
#include "tests/support/reflection_exchange.h"
#include "tests/support/service_instance.h"
#include "tests/support/shell_command.h"
#include "tests/support/udp_socket.h"

namespace reflector::test {
namespace {

using namespace std::chrono_literals;

const std::string ruleset = REFLECTOR_EGRESS_RULESET;
constexpr std::uint16_t target_port = 5000;

struct target {
  const char* address;
  bool blocked;  // by the ruleset; the service's filter accepts them all
};

// Each reaches a host the filter cannot see behind it: a NAT64, 6to4 or
// Teredo relay, a carrier-grade NAT, a network using reserved space.
const target targets[] = {
    {"100.64.0.1", true},
    {"240.0.0.1", true},
    {"255.255.255.254", true},
    {"192.0.0.8", true},
    {"198.18.0.1", true},
    {"64:ff9b::a00:1", true},
    {"64:ff9b:1::a00:1", true},
    {"2002:a00:1::1", true},
    {"::a00:1", true},
    {"::7f00:1", true},
    {"::ffff:0:a00:1", true},
    {"2001:0:4136:e378:8000:63bf:3fff:fdd2", true},
    {"fec0::1", true},
    {"100::1", true},
    {"2001:20::1", true},
    {"2001:2::1", true},
    {"5f00::1", true},
    {"198.51.100.7", false},
    {"2001:db8:3::7", false},
};

bool is_ipv6(const std::string& address) { return address.find(':') != std::string::npos; }

enum class guard_at { nowhere, service_host, router };

void PrintTo(guard_at where, std::ostream* out) {
  *out << (where == guard_at::nowhere ? "nowhere" : where == guard_at::router ? "router" : "host");
}

void route_by_default(const std::string& via4, const std::string& via6) {
  run_command({"ip", "route", "add", "default", "via", via4});
  run_command({"ip", "-6", "route", "add", "default", "via", via6});
}

// The packets a named counter of the ruleset has counted, in the calling
// thread's namespace.
std::optional<long long> dropped(const std::string& counter) {
  const shell_result listed =
      run_shell("nft list counter inet reflector_egress " + counter + " 2>&1");
  const std::string label = "packets ";
  const auto at = listed.output.find(label);
  const auto digits = at == std::string::npos ? at : at + label.size();
  if (!listed.succeeded() || digits >= listed.output.size() ||
      std::isdigit(static_cast<unsigned char>(listed.output[digits])) == 0) {
    ADD_FAILURE() << "no counter " << counter << ": " << listed.output;
    return std::nullopt;
  }
  return std::stoll(listed.output.substr(digits));
}

class egress_topology : public testing::Test {
 protected:
  void set_up(guard_at where) {
    where_ = where;
    REFLECTOR_ENTER_NETNS_OR_SKIP({});  // the router
    service_ns_.emplace();
    world_ns_.emplace();
    link_namespaces("gs", {"192.0.2.1/24", "2001:db8:1::1/64"}, *service_ns_, "s0",
                    {"192.0.2.2/24", "2001:db8:1::2/64"});
    link_namespaces("gw", {"203.0.113.1/24", "2001:db8:2::1/64"}, *world_ns_, "w0",
                    {"203.0.113.2/24", "2001:db8:2::2/64"});
    run_command({"sysctl", "-qw", "net.ipv4.ip_forward=1", "net.ipv6.conf.all.forwarding=1"});
    route_by_default("203.0.113.2", "2001:db8:2::2");
    {
      const side_namespace::inside in(*world_ns_);
      route_by_default("203.0.113.1", "2001:db8:2::1");
      for (const auto& t : targets) {
        add_device_address(std::string(t.address) + (is_ipv6(t.address) ? "/128" : "/32"), "lo");
        receivers_.emplace(t.address, udp_socket(t.address, target_port));
      }
      client_.emplace("203.0.113.2");
      client6_.emplace("2001:db8:2::2");
      shared_space_client_.emplace("100.64.0.1");
    }
    {
      const side_namespace::inside in(*service_ns_);
      route_by_default("192.0.2.1", "2001:db8:1::1");
      service_.emplace();
    }
    ASSERT_TRUE(service_->wait_until_answering("192.0.2.2"));
    load_ruleset();
  }

  void TearDown() override {
    if (service_) {
      EXPECT_TRUE(service_->stop_cleanly());
    }
  }

  void load_ruleset() {
    if (where_ == guard_at::nowhere) return;
    std::optional<side_namespace::inside> in;
    if (where_ == guard_at::service_host) in.emplace(*service_ns_);
    run_command({"nft", "-f", ruleset});
    if (where_ == guard_at::router) {
      run_command({"nft", "add", "element", "inet", "reflector_egress", "reflector_ipv4", "{ 192.0.2.2 }"});
      run_command({"nft", "add", "element", "inet", "reflector_egress", "reflector_ipv6",
                   "{ 2001:db8:1::2 }"});
    }
  }

  std::optional<long long> counted(const std::string& counter) {
    std::optional<side_namespace::inside> in;
    if (where_ == guard_at::service_host) in.emplace(*service_ns_);
    return dropped(counter);
  }

  // Asks the service, from the world, to forward to address:5000.
  void forward_to(const std::string& address, std::uint32_t tag) {
    client_->send_to("192.0.2.2", service_port, make_forward(address, target_port, tag));
  }

  bool blocks() const { return where_ != guard_at::nowhere; }

  guard_at where_ = guard_at::nowhere;
  std::optional<side_namespace> service_ns_;
  std::optional<side_namespace> world_ns_;
  std::map<std::string, udp_socket> receivers_;
  std::optional<udp_socket> client_;
  std::optional<udp_socket> client6_;
  std::optional<udp_socket> shared_space_client_;
  std::optional<service_instance> service_;
};

class EgressGuard : public egress_topology, public testing::WithParamInterface<guard_at> {
 protected:
  void SetUp() override { set_up(GetParam()); }
};

class GuardOnServiceHost : public egress_topology {
 protected:
  void SetUp() override { set_up(guard_at::service_host); }
};

TEST_P(EgressGuard, StopsForwardsToHiddenNetworksAndCountsThem) {
  // The targets the ruleset passes go last: once they have arrived, what
  // was sent before them has had its chance to arrive too.
  std::uint32_t tag = 1;
  for (const bool blocked_ones : {true, false}) {
    for (const auto& t : targets) {
      if (t.blocked == blocked_ones) forward_to(t.address, tag++);
    }
  }
  long long blocked4 = 0;
  long long blocked6 = 0;
  for (const bool blocked_ones : {false, true}) {
    for (const auto& t : targets) {
      if (t.blocked != blocked_ones) continue;
      const bool should_arrive = !(t.blocked && blocks());
      const auto got = receivers_.at(t.address).receive(should_arrive ? 5000ms : 50ms);
      EXPECT_EQ(got.has_value(), should_arrive) << t.address;
      if (got) {
        EXPECT_EQ(read_type(got->bytes.data()), FORWARD_REPLY) << t.address;
        EXPECT_EQ(endpoint_in(got->bytes).address, address_of("203.0.113.2")) << t.address;
      }
      if (t.blocked) ++(is_ipv6(t.address) ? blocked6 : blocked4);
    }
  }
  if (!blocks()) return;
  EXPECT_EQ(counted("dropped_ipv4"), blocked4);
  EXPECT_EQ(counted("dropped_ipv6"), blocked6);
}

// Sends a QUERY from client to the service; true when the right
// QUERY_REPLY came back.
bool answered(const udp_socket& client, const std::string& service_address, std::uint32_t tag,
              std::chrono::milliseconds wait = 5000ms) {
  client.send_to(service_address, service_port, make_request(QUERY, tag));
  const auto reply = client.receive(wait);
  return reply && read_type(reply->bytes.data()) == QUERY_REPLY && tag_of(reply->bytes) == tag &&
         endpoint_in(reply->bytes).address == client.local_address();
}

// Clients outside the guarded ranges are answered as before.
TEST_P(EgressGuard, AnswersQueriesFromOrdinaryClients) {
  EXPECT_TRUE(answered(*client_, "192.0.2.2", 100));
  EXPECT_TRUE(answered(*client6_, "2001:db8:1::2", 101));
  if (blocks()) {
    EXPECT_EQ(counted("dropped_ipv4"), 0);
    EXPECT_EQ(counted("dropped_ipv6"), 0);
  }
}

// A QUERY from inside a guarded range, which is what one with a forged
// source looks like, gets its answer only where nothing guards the way:
// otherwise a forged QUERY would reach a host behind a relay, on any port.
TEST_P(EgressGuard, AnswersNoQueryFromAGuardedRange) {
  if (!blocks()) {
    EXPECT_TRUE(answered(*shared_space_client_, "192.0.2.2", 200));
    return;
  }
  EXPECT_FALSE(answered(*shared_space_client_, "192.0.2.2", 200, 500ms));
  EXPECT_EQ(counted("dropped_ipv4"), 1);
}

// A FORWARD to one of the service host's own addresses would reach the
// host's other services; the guard keeps it there.
TEST_F(GuardOnServiceHost, KeepsForwardsOffTheHostItself) {
  std::optional<udp_socket> local_service;
  {
    const side_namespace::inside in(*service_ns_);
    local_service.emplace("192.0.2.2", target_port);
  }
  forward_to("192.0.2.2", 1);
  forward_to("198.51.100.7", 2);
  ASSERT_TRUE(receivers_.at("198.51.100.7").receive(5000ms).has_value());
  EXPECT_FALSE(local_service->receive(50ms).has_value());
  EXPECT_EQ(counted("dropped_local"), 1);
}

// Clients on the host itself are answered, on loopback (::1 lies in a
// guarded range) and on the host's own address.
TEST_F(GuardOnServiceHost, AnswersClientsOnTheHostItself) {
  const side_namespace::inside in(*service_ns_);
  EXPECT_TRUE(answered(udp_socket("::1"), "::1", 300));
  EXPECT_TRUE(answered(udp_socket("127.0.0.1"), "127.0.0.1", 301));
  EXPECT_TRUE(answered(udp_socket("192.0.2.2"), "192.0.2.2", 302));
  EXPECT_EQ(dropped("dropped_local"), 0);
  EXPECT_EQ(dropped("dropped_ipv6"), 0);
}

INSTANTIATE_TEST_SUITE_P(Where, EgressGuard,
                         testing::Values(guard_at::nowhere, guard_at::service_host, guard_at::router),
                         [](const auto& info) { return testing::PrintToString(info.param); });

}  // namespace
}  // namespace reflector::test
