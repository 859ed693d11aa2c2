// reflect-xdp's reports and what the loader learns of its host, without
// attaching anything: the names operators and scripts read, and the
// addresses the fast path will answer for.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>

#include "platform/xdp/host_addresses.h"
#include "tests/support/network_namespace.h"
#include "tools/reflect_xdp/counter_report.h"

namespace reflector::tools {
namespace {

xdp::counter_readings with(fast_path_reason reason, fast_path_family family, std::uint64_t n) {
  xdp::counter_readings readings;
  readings.packets[static_cast<std::size_t>(reason) * fast_path_family_count + family] = n;
  return readings;
}

TEST(XdpReport, EveryReasonAndFamilyHasItsOwnName) {
  std::set<std::string> names;
  for (int r = 0; r < fast_path_reason_count; ++r) {
    const char* name = reason_name(static_cast<fast_path_reason>(r));
    ASSERT_NE(name, nullptr) << "reason " << r << " has no name";
    names.insert(name);
  }
  EXPECT_EQ(names.size(), static_cast<std::size_t>(fast_path_reason_count));
  EXPECT_STREQ(family_name(family_ipv4), "ipv4");
  EXPECT_STREQ(family_name(family_ipv6), "ipv6");
  EXPECT_STREQ(family_name(family_other), "other");
}

TEST(XdpReport, TableShowsAnsweredAlwaysAndOtherReasonsOnlyWhenCounted) {
  auto readings = with(reason_passed_forward, family_ipv6, 7);
  readings += with(reason_dropped_magic, family_ipv4, 3);
  const std::string table = counters_table(readings);
  EXPECT_NE(table.find("answered"), std::string::npos);
  EXPECT_NE(table.find("passed_forward"), std::string::npos);
  EXPECT_NE(table.find("dropped_magic"), std::string::npos);
  EXPECT_EQ(table.find("passed_fragment"), std::string::npos) << table;
  // The last line sums every family: 3 + 7 frames in all.
  const std::string last = table.substr(table.rfind("all frames"));
  EXPECT_NE(last.find(" 3 "), std::string::npos) << last;
  EXPECT_NE(last.find(" 10\n"), std::string::npos) << last;
}

TEST(XdpReport, JsonCarriesEveryReasonWithItsFamiliesAndTotal) {
  auto readings = with(reason_answered, family_ipv4, 5);
  readings += with(reason_answered, family_ipv6, 2);
  const std::string json = counters_json(readings);
  EXPECT_NE(json.find(R"("answered":{"ipv4":5,"ipv6":2,"other":0,"total":7})"), std::string::npos)
      << json;
  for (int r = 0; r < fast_path_reason_count; ++r) {
    const std::string key = std::string("\"") + reason_name(static_cast<fast_path_reason>(r)) + "\":{";
    EXPECT_NE(json.find(key), std::string::npos) << key;
  }
}

TEST(XdpReport, StatusSaysWhatIsAttachedWhereAndWhatHasGone) {
  EXPECT_EQ(status_lines({}), "the fast path is attached to no interface\n");
  xdp::attachment live;
  live.interface = "eth0";
  live.attached = true;
  live.mode = xdp::attach_mode::generic;
  live.program_id = 42;
  live.local_addresses = 1;
  live.counters = with(reason_answered, family_ipv6, 9);
  xdp::attachment gone;
  gone.interface = "eth1";
  const std::string lines = status_lines({live, gone});
  EXPECT_NE(lines.find("eth0: attached, generic mode, program 42, answering for 1 local address, 9 answered\n"),
            std::string::npos)
      << lines;
  EXPECT_NE(lines.find("eth1: pinned, but the interface has gone"), std::string::npos) << lines;
  const std::string json = status_json({live, gone});
  EXPECT_NE(json.find(R"({"interface":"eth1","attached":false,"mode":null)"), std::string::npos) << json;
  EXPECT_NE(json.find(R"("mode":"generic","program_id":42,"local_addresses":1,"answered":9)"),
            std::string::npos)
      << json;
}

std::string text_of(const fast_path_address& address) {
  const bool mapped = std::all_of(address.bytes, address.bytes + 10, [](auto b) { return b == 0; }) &&
                      address.bytes[10] == 0xff && address.bytes[11] == 0xff;
  char text[INET6_ADDRSTRLEN] = {};
  if (mapped) inet_ntop(AF_INET, &address.bytes[12], text, sizeof text);
  else inet_ntop(AF_INET6, address.bytes, text, sizeof text);
  return text;
}

TEST(HostAddresses, AreTheConfiguredUnicastAddressesWithoutLoopback) {
  REFLECTOR_ENTER_NETNS_OR_SKIP({"192.0.2.7", "2001:db8::7"});
  std::set<std::string> found;
  for (const auto& address : xdp::host_addresses()) found.insert(text_of(address));
  EXPECT_TRUE(found.contains("192.0.2.7"));
  EXPECT_TRUE(found.contains("2001:db8::7"));
  EXPECT_FALSE(found.contains("127.0.0.1")) << "a frame from the wire to loopback is no one's to answer";
  EXPECT_FALSE(found.contains("::1"));
  EXPECT_FALSE(xdp::interface_mac("lo").has_value()) << "loopback has no Ethernet address";
  EXPECT_FALSE(xdp::interface_mac("no-such-if").has_value());
}

}  // namespace
}  // namespace reflector::tools
