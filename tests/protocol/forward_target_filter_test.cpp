#include "protocol/forward_target_filter.h"

#include <gtest/gtest.h>

#include "tests/support/addresses.h"

namespace reflector {
namespace {

using test::address_of;

struct filter_case {
  const char* address;
  std::uint16_t port;
  bool allowed;
};

void PrintTo(const filter_case& c, std::ostream* os) {
  *os << c.address << " port " << c.port << (c.allowed ? " allowed" : " refused");
}

class FilterTable : public testing::TestWithParam<filter_case> {};

TEST_P(FilterTable, DecidesAsTheTablesSay) {
  const filter_case& c = GetParam();
  EXPECT_EQ(forward_target_allowed(c.port, address_of(c.address)), c.allowed);
}

INSTANTIATE_TEST_SUITE_P(Ports, FilterTable, testing::Values(
    filter_case{"2001:db8::1", 0, false},
    filter_case{"2001:db8::1", 1, false},
    filter_case{"2001:db8::1", 1023, false},
    filter_case{"2001:db8::1", 1024, true},
    filter_case{"2001:db8::1", 1213, true},
    filter_case{"2001:db8::1", 5000, true},
    filter_case{"2001:db8::1", 65535, true},
    filter_case{"192.0.2.1", 1023, false},
    filter_case{"192.0.2.1", 1024, true}));

// Each refused IPv4 range: its first and last address, and the neighbours
// just outside it.
INSTANTIATE_TEST_SUITE_P(Ipv4Boundaries, FilterTable, testing::Values(
    filter_case{"0.0.0.0", 5000, false},
    filter_case{"0.255.255.255", 5000, false},
    filter_case{"1.0.0.0", 5000, true},
    filter_case{"9.255.255.255", 5000, true},
    filter_case{"10.0.0.0", 5000, false},
    filter_case{"10.255.255.255", 5000, false},
    filter_case{"11.0.0.0", 5000, true},
    filter_case{"126.255.255.255", 5000, true},
    filter_case{"127.0.0.0", 5000, false},
    filter_case{"127.0.0.1", 5000, false},
    filter_case{"127.255.255.255", 5000, false},
    filter_case{"128.0.0.0", 5000, true},
    filter_case{"169.253.255.255", 5000, true},
    filter_case{"169.254.0.0", 5000, false},
    filter_case{"169.254.255.255", 5000, false},
    filter_case{"169.255.0.0", 5000, true},
    filter_case{"172.15.255.255", 5000, true},
    filter_case{"172.16.0.0", 5000, false},
    filter_case{"172.31.255.255", 5000, false},
    filter_case{"172.32.0.0", 5000, true},
    filter_case{"192.167.255.255", 5000, true},
    filter_case{"192.168.0.0", 5000, false},
    filter_case{"192.168.255.255", 5000, false},
    filter_case{"192.169.0.0", 5000, true},
    filter_case{"223.255.255.255", 5000, true},
    filter_case{"224.0.0.0", 5000, false},
    filter_case{"239.255.255.255", 5000, false},
    filter_case{"240.0.0.0", 5000, true},
    filter_case{"255.255.255.254", 5000, true},
    filter_case{"255.255.255.255", 5000, false}));

// Ranges that look special but are not in the table pass.
INSTANTIATE_TEST_SUITE_P(Ipv4Accepted, FilterTable, testing::Values(
    filter_case{"100.64.0.0", 5000, true},
    filter_case{"100.127.255.255", 5000, true},
    filter_case{"192.0.2.1", 5000, true},
    filter_case{"198.18.0.0", 5000, true},
    filter_case{"198.51.100.7", 1213, true},
    filter_case{"203.0.113.255", 65535, true}));

INSTANTIATE_TEST_SUITE_P(Ipv6Boundaries, FilterTable, testing::Values(
    filter_case{"::", 5000, false},
    filter_case{"::1", 5000, false},
    filter_case{"::2", 5000, true},
    filter_case{"::10.0.0.1", 5000, true},
    filter_case{"::127.0.0.1", 5000, true},
    filter_case{"::ffff:0:10.0.0.1", 5000, true},
    filter_case{"0100::", 5000, true},
    filter_case{"fb00::", 5000, true},
    filter_case{"fbff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", 5000, true},
    filter_case{"fc00::", 5000, false},
    filter_case{"fdff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", 5000, false},
    filter_case{"fe00::", 5000, true},
    filter_case{"fe7f:ffff:ffff:ffff:ffff:ffff:ffff:ffff", 5000, true},
    filter_case{"fe80::", 5000, false},
    filter_case{"fe80::1", 5000, false},
    filter_case{"febf:ffff:ffff:ffff:ffff:ffff:ffff:ffff", 5000, false},
    filter_case{"fec0::", 5000, true},
    filter_case{"feff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", 5000, true},
    filter_case{"ff00::", 5000, false},
    filter_case{"ff02::1", 5000, false},
    filter_case{"ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", 5000, false},
    filter_case{"2001:db8::1", 5000, true},
    filter_case{"64:ff9b::a00:1", 5000, true},      // embeds 10.0.0.1
    filter_case{"64:ff9b::7f00:1", 5000, true},     // embeds 127.0.0.1
    filter_case{"64:ff9b::ffff:ffff", 5000, true}));

// An address one bit away from the IPv4-mapped prefix is no mapped address:
// it is judged by the IPv6 table, which accepts every such address even when
// the last four bytes name a refused IPv4 range.
TEST(Filter, AddressOneBitOffTheMappedPrefixIsJudgedAsIpv6) {
  const auto mapped = address_of("10.0.0.1");
  ASSERT_FALSE(forward_target_allowed(5000, mapped));
  for (int bit = 0; bit < 96; ++bit) {
    auto address = mapped;
    address[bit / 8] ^= static_cast<std::uint8_t>(0x80 >> (bit % 8));
    EXPECT_TRUE(forward_target_allowed(5000, address)) << "prefix bit " << bit;
  }
}

// The port rule comes first: a refused port refuses even a public address,
// and an accepted port never rescues a refused address.
TEST(Filter, PortAndAddressMustBothPass) {
  for (const char* refused : {"10.0.0.1", "::1", "ff02::1"}) {
    for (std::uint16_t port : {std::uint16_t{1024}, std::uint16_t{65535}}) {
      EXPECT_FALSE(forward_target_allowed(port, address_of(refused))) << refused << " " << port;
    }
  }
}

// Each refusal names the rule that refused: the port before the address,
// and within a family the range the address lies in.
struct reason_case {
  const char* address;
  std::uint16_t port;
  forward_refusal reason;
};

TEST(Filter, NamesTheRuleThatRefused) {
  const reason_case cases[] = {
      {"10.0.0.1", 80, forward_refusal::port_too_low},
      {"2001:db8::1", 1023, forward_refusal::port_too_low},
      {"10.1.2.3", 5000, forward_refusal::private_range},
      {"172.31.0.1", 5000, forward_refusal::private_range},
      {"192.168.1.1", 5000, forward_refusal::private_range},
      {"fd00::1", 5000, forward_refusal::private_range},
      {"127.0.0.2", 5000, forward_refusal::loopback},
      {"::1", 5000, forward_refusal::loopback},
      {"169.254.9.9", 5000, forward_refusal::link_local},
      {"fe80::1", 5000, forward_refusal::link_local},
      {"239.1.1.1", 5000, forward_refusal::multicast},
      {"ff02::1", 5000, forward_refusal::multicast},
      {"0.1.2.3", 5000, forward_refusal::unspecified},
      {"::", 5000, forward_refusal::unspecified},
      {"255.255.255.255", 5000, forward_refusal::broadcast},
      {"192.0.2.1", 5000, forward_refusal::none},
      {"::2", 5000, forward_refusal::none},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(forward_target_refusal(c.port, address_of(c.address)), c.reason)
        << c.address << " port " << c.port;
  }
}

}  // namespace
}  // namespace reflector
