// The checksum yardstick against frames whose checksums Linux computed in
// software (a veth with transmit checksum offload turned off), so that the
// oracle's notion of a valid checksum is not just its own: a pseudo-header
// laid out wrongly would otherwise go unnoticed, as the program's update
// never reads it.
#include "tests/xdp/internet_checksum.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace reflector::xdp::test {
namespace {

std::vector<std::uint8_t> from_hex(const std::string& hex) {
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

// 192.0.2.1:40000 to 192.0.2.2:1213, a 43-byte QUERY (odd, so the last byte
// is padded in the sum).
const std::string kernel_ipv4_frame =
    "76c16cbb021a4e42264c6054080045000047f08c40004011c615c0000201c00002029c4004bd00334933aabbccdd"
    "121310170102030405060708090a0b0c00010000000000000000000000000000000000006f6464";
// The same datagram from [2001:db8::1]:40000 to [2001:db8::2]:1213.
const std::string kernel_ipv6_frame =
    "76c16cbb021a4e42264c605486dd60069b7f0033114020010db800000000000000000000000120010db800000000"
    "00000000000000029c4004bd003371c2aabbccdd121310170102030405060708090a0b0c000100000000000000000000"
    "00000000000000006f6464";

TEST(InternetChecksum, AgreesWithTheKernelOverIpv4) {
  const auto frame = from_hex(kernel_ipv4_frame);
  const udp_location at{false, 14, 34, 51};
  EXPECT_TRUE(udp_checksum_verifies(frame, at));
  EXPECT_EQ(udp_checksum(frame, at), 0x4933);
  EXPECT_TRUE(ipv4_header_verifies(std::span(frame).subspan(14, 20)));
  EXPECT_EQ(ipv4_header_checksum(std::span(frame).subspan(14, 20)), 0xc615);
}

TEST(InternetChecksum, AgreesWithTheKernelOverIpv6) {
  const auto frame = from_hex(kernel_ipv6_frame);
  const udp_location at{true, 14, 54, 51};
  EXPECT_TRUE(udp_checksum_verifies(frame, at));
  EXPECT_EQ(udp_checksum(frame, at), 0x71c2);
}

// A single changed bit anywhere the checksum covers, pseudo-header included,
// makes it fail.
TEST(InternetChecksum, FailsWhenAnyCoveredBitChanges) {
  for (const auto& [hex, at] : {std::pair{kernel_ipv4_frame, udp_location{false, 14, 34, 51}},
                                std::pair{kernel_ipv6_frame, udp_location{true, 14, 54, 51}}}) {
    const auto frame = from_hex(hex);
    const std::size_t addresses = at.network + (at.ipv6 ? 8 : 12);
    std::vector<std::size_t> covered;
    for (std::size_t i = addresses; i < at.udp; ++i) covered.push_back(i);
    for (std::size_t i = at.udp; i < at.udp + at.length; ++i) covered.push_back(i);
    for (const std::size_t byte : covered) {
      auto spoiled = frame;
      spoiled[byte] ^= 0x10;
      EXPECT_FALSE(udp_checksum_verifies(spoiled, at)) << "byte " << byte;
    }
  }
}

}  // namespace
}  // namespace reflector::xdp::test
