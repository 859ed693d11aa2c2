// reflect nat against two reflectord instances, each in a namespace of its
// own, joined to the test's namespace by a bridge on 203.0.113.0/24:
//
//   test namespace: br0 203.0.113.1 -- veth -- A 203.0.113.2 (reflectord)
//                                    -- veth -- B 203.0.113.3 (reflectord)
//   and the same on 2001:db8:5::/64 (::1, ::2, ::3).
//
// With nothing in between, both behaviours must come out endpoint-independent.
// Behind a real Linux NAT (a client namespace on 198.51.100.0/24, the test's
// namespace routing and masquerading onto the bridge) filtering is
// endpoint-dependent, and mapping too once the NAT picks ports at random.
#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <optional>

#include "tests/support/network_namespace.h"
#include "tests/support/service_instance.h"
#include "tests/tools/tool_run.h"

namespace reflector::test {
namespace {

// Puts one end of a new veth pair into where, with address on it, and the
// other end on the bridge of the calling namespace.
void attach_to_bridge(const side_namespace& where, const std::string& name,
                      const std::string& address, const std::string& address6) {
  const std::string outer = name + "-br";
  run_command({"ip", "link", "add", outer, "type", "veth", "peer", "name", name, "netns",
               where.path()});
  run_command({"ip", "link", "set", outer, "master", "br0", "up"});
  const side_namespace::inside in(where);
  run_command({"ip", "addr", "add", address, "dev", name});
  run_command({"ip", "-6", "addr", "add", address6, "dev", name, "nodad"});
  run_command({"ip", "link", "set", name, "up"});
}

class TwoReflectors : public testing::Test {
 protected:
  void SetUp() override {
    REFLECTOR_ENTER_NETNS_OR_SKIP({});
    a_.emplace();
    b_.emplace();
    run_command({"ip", "link", "add", "br0", "type", "bridge"});
    run_command({"ip", "addr", "add", "203.0.113.1/24", "dev", "br0"});
    run_command({"ip", "-6", "addr", "add", "2001:db8:5::1/64", "dev", "br0", "nodad"});
    run_command({"ip", "link", "set", "br0", "up"});
    attach_to_bridge(*a_, "a0", "203.0.113.2/24", "2001:db8:5::2/64");
    attach_to_bridge(*b_, "b0", "203.0.113.3/24", "2001:db8:5::3/64");
    {
      const side_namespace::inside in(*a_);
      service_a_.emplace();
    }
    {
      const side_namespace::inside in(*b_);
      service_b_.emplace();
    }
    expect_both_answer();
  }

  // Each service asked from the calling thread's namespace, so across the
  // bridge (and the NAT, from the client's): for up to a second after its
  // ports come up, longer while other tests bring links up and down, the
  // bridge drops what it should carry, and a tool run would fail for that.
  void expect_both_answer() {
    ASSERT_TRUE(service_a_->wait_until_answering("203.0.113.2"));
    ASSERT_TRUE(service_b_->wait_until_answering("203.0.113.3"));
  }

  // Each service still there must stop as it should.
  void TearDown() override {
    for (auto* service : {&service_a_, &service_b_}) {
      if (*service) {
        EXPECT_TRUE((*service)->stop_cleanly());
      }
    }
  }

  std::optional<side_namespace> a_;
  std::optional<side_namespace> b_;
  std::optional<service_instance> service_a_;
  std::optional<service_instance> service_b_;
};

TEST_F(TwoReflectors, NoTranslationMeansEndpointIndependentMappingAndFiltering) {
  const tool_result result =
      run_tool(REFLECT_PATH, {"nat", "203.0.113.2", "203.0.113.3", "--json", "--timeout", "0.3"});
  ASSERT_TRUE(result.exited_with(0)) << result.describe();
  EXPECT_NE(result.out.find("\"mapping\":\"endpoint-independent\""), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("\"filtering\":\"endpoint-independent\""), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("\"translated\":false"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("\"mapped_by_a\":\"203.0.113.1:"), std::string::npos) << result.out;
}

TEST_F(TwoReflectors, SameOverIPv6) {
  const tool_result result = run_tool(
      REFLECT_PATH, {"nat", "2001:db8:5::2", "[2001:db8:5::3]:1213", "--json", "--timeout", "0.3"});
  ASSERT_TRUE(result.exited_with(0)) << result.describe();
  EXPECT_NE(result.out.find("\"mapping\":\"endpoint-independent\""), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("\"filtering\":\"endpoint-independent\""), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("\"mapped_by_a\":\"[2001:db8:5::1]:"), std::string::npos) << result.out;
}

TEST_F(TwoReflectors, TextReportNamesBothVerdicts) {
  const tool_result result = run_tool(REFLECT_PATH, {"nat", "203.0.113.2", "203.0.113.3"});
  ASSERT_TRUE(result.exited_with(0)) << result.describe();
  EXPECT_NE(result.out.find("mapping       endpoint-independent"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("filtering     endpoint-independent"), std::string::npos) << result.out;
}

TEST_F(TwoReflectors, SilentServerFailsWithStatusTwo) {
  service_b_.reset();
  const tool_result result = run_tool(
      REFLECT_PATH, {"nat", "203.0.113.2", "203.0.113.3", "--timeout", "0.05", "--tries", "2"});
  EXPECT_TRUE(result.exited_with(2)) << result.describe();
  EXPECT_NE(result.err.find("203.0.113.3"), std::string::npos) << result.err;
}

bool have_program(const char* name) {
  for (const char* dir : {"/usr/sbin/", "/sbin/", "/usr/bin/"}) {
    if (access((std::string(dir) + name).c_str(), X_OK) == 0) return true;
  }
  return false;
}

struct nat_case {
  const char* name;
  const char* masquerade;  // the nft rule's verdict
  bool open_inbound;       // also send every new datagram from a reflector in
  const char* mapping;
  const char* filtering;
};

class ReflectorsBehindNat : public TwoReflectors, public testing::WithParamInterface<nat_case> {
 protected:
  void SetUp() override {
    if (!have_program("nft")) GTEST_SKIP() << "needs nft (nftables) for the NAT";
    TwoReflectors::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    client_.emplace();
    run_command({"ip", "link", "add", "c0-r", "type", "veth", "peer", "name", "c0", "netns",
                 client_->path()});
    run_command({"ip", "addr", "add", "198.51.100.1/24", "dev", "c0-r"});
    run_command({"ip", "link", "set", "c0-r", "up"});
    std::ofstream("/proc/sys/net/ipv4/ip_forward") << "1\n";
    run_command({"nft", "add table ip nat"});
    run_command({"nft", "add chain ip nat out { type nat hook postrouting priority 100 ; }"});
    run_command({"nft", std::string("add rule ip nat out oifname br0 ") + GetParam().masquerade});
    if (GetParam().open_inbound) {
      // Ports are kept, so handing the client whatever comes unasked from
      // port 1213 makes a NAT that filters nothing.
      run_command({"nft", "add chain ip nat in { type nat hook prerouting priority -100 ; }"});
      run_command({"nft", "add rule ip nat in iifname br0 udp sport 1213 dnat to 198.51.100.2"});
    }
    const side_namespace::inside in(*client_);
    run_command({"ip", "addr", "add", "198.51.100.2/24", "dev", "c0"});
    run_command({"ip", "link", "set", "c0", "up"});
    run_command({"ip", "route", "add", "default", "via", "198.51.100.1"});
    expect_both_answer();  // through the NAT
  }

  std::optional<side_namespace> client_;
};

TEST_P(ReflectorsBehindNat, ReportsTheNatsBehaviour) {
  std::optional<tool_run> client;
  {
    const side_namespace::inside in(*client_);
    client.emplace(REFLECT_PATH, std::vector<std::string>{"nat", "203.0.113.2", "203.0.113.3",
                                                          "--json", "--timeout", "0.3", "--tries", "2"});
  }
  const tool_result result = client->finish();
  ASSERT_TRUE(result.exited_with(0)) << result.describe();
  EXPECT_NE(result.out.find("\"translated\":true"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("\"mapped_by_a\":\"203.0.113.1:"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find(std::string("\"mapping\":\"") + GetParam().mapping + "\""),
            std::string::npos)
      << result.out;
  EXPECT_NE(result.out.find(std::string("\"filtering\":\"") + GetParam().filtering + "\""),
            std::string::npos)
      << result.out;
  EXPECT_NE(result.out.find("\"control_from_a_arrived\":true"), std::string::npos) << result.out;
}

INSTANTIATE_TEST_SUITE_P(
    Masquerade, ReflectorsBehindNat,
    testing::Values(nat_case{"port_preserving", "masquerade", false, "endpoint-independent",
                             "endpoint-dependent"},
                    nat_case{"random_ports", "masquerade fully-random", false, "endpoint-dependent",
                             "endpoint-dependent"},
                    nat_case{"filtering_nothing", "masquerade", true, "endpoint-independent",
                             "endpoint-independent"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace reflector::test
