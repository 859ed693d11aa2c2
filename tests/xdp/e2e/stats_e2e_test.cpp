// reflect-stats beside the fast path: its counters appear, per interface,
// reason and family, equal to what the fast path itself counted; and with
// the service running, its figures still come from the service's sockets.
#include <linux/capability.h>

#include <gtest/gtest.h>

#include <vector>

#include "tests/support/json_value.h"
#include "tests/xdp/e2e/veth_topology.h"

#ifndef CAP_BPF
#define CAP_BPF 39
#endif

namespace reflector::test {
namespace {

using namespace std::chrono_literals;

class StatsBesideTheFastPath : public VethTopology {
 protected:
  json_value stats_json() {
    const auto result = run_tool(REFLECT_STATS_PATH, {"--json"});
    EXPECT_TRUE(result.exited_with(0)) << result.describe();
    return json_value::parse(result.out);
  }

  // QUERYs answered by whoever answers on the server.
  void query(const address_family& family, int times) {
    for (int i = 0; i < times; ++i) {
      const auto result = on_client(REFLECT_PATH, {"query", family.server, "--tries", "1", "--timeout", "2"});
      ASSERT_TRUE(result.exited_with(0)) << result.describe();
    }
  }
};

TEST_F(StatsBesideTheFastPath, ShowsTheFastPathsCountersAsItCountsThem) {
  // Not attached: said so, with nothing to count.
  auto json = stats_json();
  EXPECT_TRUE(json["fast_path"]["built"].boolean());
  EXPECT_TRUE(json["fast_path"]["unreadable"].is_null());
  EXPECT_TRUE(json["fast_path"]["attachments"].array().empty());

  attach();
  query(ipv4, 3);
  query(ipv6, 2);
  // The link's own traffic (neighbour discovery, multicast reports) may
  // be counted at any moment, so reflect-xdp reads before and after.
  const fast_path_counts before = counts();
  json = stats_json();
  const fast_path_counts after = counts();
  const auto& attachments = json["fast_path"]["attachments"].array();
  ASSERT_EQ(attachments.size(), 1u) << "attached to xdp0 alone";
  const auto& xdp0 = attachments[0];
  EXPECT_EQ(xdp0["interface"].string(), server_interface);
  EXPECT_TRUE(xdp0["attached"].boolean());
  EXPECT_EQ(xdp0["mode"].string(), "native");
  EXPECT_EQ(xdp0["packets"]["answered"]["ipv4"].integer(), 3);
  EXPECT_EQ(xdp0["packets"]["answered"]["ipv6"].integer(), 2);

  // Every reason and family, within reflect-xdp's own readings around it.
  for (const char* reason : {"answered", "dropped_short", "dropped_magic", "dropped_type", "passed_forward",
                             "passed_oversize", "passed_not_local", "passed_ip_options", "passed_fragment",
                             "passed_zero_checksum", "passed_bad_source", "passed_malformed", "passed_other"}) {
    for (const char* family : {"ipv4", "ipv6", "other"}) {
      const long long seen = xdp0["packets"][reason][family].integer();
      EXPECT_GE(seen, before.at(reason, family)) << reason << " " << family << "\n" << before.json();
      EXPECT_LE(seen, after.at(reason, family)) << reason << " " << family << "\n" << after.json();
    }
  }

  const auto text = run_tool(REFLECT_STATS_PATH, {"--prometheus"});
  ASSERT_TRUE(text.exited_with(0)) << text.describe();
  for (const char* line : {
           "reflector_fast_path_attached{interface=\"xdp0\",mode=\"native\"} 1\n",
           "reflector_fast_path_packets_total{interface=\"xdp0\",reason=\"answered\",family=\"ipv4\"} 3\n",
           "reflector_fast_path_packets_total{interface=\"xdp0\",reason=\"answered\",family=\"ipv6\"} 2\n",
       }) {
    EXPECT_NE(text.out.find(line), std::string::npos) << line << text.out;
  }

  const auto table = run_tool(REFLECT_STATS_PATH, {});
  ASSERT_TRUE(table.exited_with(0)) << table.describe();
  EXPECT_NE(table.out.find("fast path on xdp0 (native)"), std::string::npos) << table.out;
}

// The exporter's unit grants a user of its own CAP_SYS_PTRACE,
// CAP_DAC_READ_SEARCH and CAP_BPF, and no CAP_DAC_OVERRIDE: the pins (root's,
// 0600) are read through read-only descriptors, and the link is not opened.
// Without those capabilities the pins stay closed to it.
TEST_F(StatsBesideTheFastPath, ReadsThePinsWithTheExportersCapabilitiesAlone) {
  attach();
  query(ipv4, 2);
  const auto as_exporter = [](const std::vector<int>& capabilities) {
    const auto result = run_tool_as_nobody_with(REFLECT_STATS_PATH, {"--json"}, capabilities);
    EXPECT_TRUE(result.exited_with(0)) << result.describe();
    return json_value::parse(result.out);
  };
  const auto granted = as_exporter({CAP_SYS_PTRACE, CAP_DAC_READ_SEARCH, CAP_BPF});
  EXPECT_TRUE(granted["fast_path"]["unreadable"].is_null()) << granted["fast_path"]["unreadable"].string();
  const auto& attachments = granted["fast_path"]["attachments"].array();
  ASSERT_EQ(attachments.size(), 1u);
  EXPECT_TRUE(attachments[0]["attached"].boolean());
  EXPECT_EQ(attachments[0]["mode"].string(), "native");
  EXPECT_EQ(attachments[0]["packets"]["answered"]["ipv4"].integer(), 2);

  const auto without = as_exporter({});
  EXPECT_FALSE(without["fast_path"]["unreadable"].is_null());
}

// FORWARDs pass the fast path to the service: both sets of figures move.
TEST_F(StatsBesideTheFastPath, ShowsTheServiceAndTheFastPathTogether) {
  attach();
  start_service();
  const auto forward = on_client(REFLECT_PATH, {"forward", ipv4.server, "192.0.2.2:6000"});
  ASSERT_TRUE(forward.exited_with(0)) << forward.describe();
  query(ipv4, 1);
  const auto json = stats_json();
  EXPECT_FALSE(json["pid"].is_null());
  EXPECT_EQ(json["sockets"].array().size(), json["workers"].array().size());
  EXPECT_GE(json["udp"]["ipv4"]["in_datagrams"].integer(), 1) << "the FORWARD reached the service";
  const auto& xdp0 = json["fast_path"]["attachments"].array().at(0);
  EXPECT_EQ(xdp0["packets"]["passed_forward"]["ipv4"].integer(), 1);
  EXPECT_EQ(xdp0["packets"]["answered"]["ipv4"].integer(), 1);
}

}  // namespace
}  // namespace reflector::test
