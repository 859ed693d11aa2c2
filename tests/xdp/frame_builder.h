// Ethernet frames carrying one UDP datagram over IPv4 or IPv6, optionally
// with one 802.1Q tag, built well-formed from a description; cases that need
// a broken frame spoil a built one through its field offsets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/xdp/fast_path_program.h"
#include "protocol/message_layout.h"
#include "tests/support/addresses.h"
#include "tests/xdp/internet_checksum.h"

namespace reflector::xdp::test {

using reflector::test::address16;

enum class checksum_kind { valid, invalid, zero };

struct udp_frame_spec {
  mac_address destination_mac{};
  mac_address source_mac{};
  std::optional<std::uint16_t> vlan_tag;  // the tag control information, when tagged
  bool ipv6 = false;
  address16 source{};       // IPv4 as ::ffff:a.b.c.d; only the last 4 bytes are sent
  address16 destination{};
  std::uint16_t source_port = 40000;
  std::uint16_t destination_port = service_port;
  std::vector<std::uint8_t> payload;
  checksum_kind checksum = checksum_kind::valid;
  // Header fields the fast path must carry over unchanged.
  std::uint8_t traffic_class = 0;  // IPv4 TOS, IPv6 traffic class
  std::uint8_t hop_limit = 64;     // IPv4 TTL, IPv6 hop limit
  std::uint32_t flow_label = 0;
  std::uint16_t identification = 0;
  std::uint16_t fragment = 0;                 // IPv4 flags and fragment offset, as sent
  std::vector<std::uint8_t> ipv4_options;     // padded to a multiple of 4
  bool ipv4_header_checksum_valid = true;
  std::vector<std::uint8_t> trailer;          // Ethernet padding after the IP datagram
};

struct built_frame {
  std::vector<std::uint8_t> bytes;
  std::size_t network = 0;  // offset of the IP header
  udp_location datagram;

  std::size_t udp() const { return datagram.udp; }
  std::size_t payload() const { return datagram.udp + 8; }
  std::uint16_t read16(std::size_t offset) const;
  void write16(std::size_t offset, std::uint16_t value);
  // Makes the UDP checksum valid again after the datagram was changed.
  void recompute_udp_checksum();
};

built_frame build_frame(const udp_frame_spec& plan);

// The frame offsets of the header fields cases spoil, from the IP header.
namespace ipv4_field {
inline constexpr std::size_t version_ihl = 0;
inline constexpr std::size_t total_length = 2;
inline constexpr std::size_t fragment = 6;
inline constexpr std::size_t protocol = 9;
inline constexpr std::size_t checksum = 10;
}  // namespace ipv4_field
namespace ipv6_field {
inline constexpr std::size_t payload_length = 4;
inline constexpr std::size_t next_header = 6;
}  // namespace ipv6_field
namespace udp_field {
inline constexpr std::size_t destination_port = 2;
inline constexpr std::size_t length = 4;
}  // namespace udp_field

inline constexpr std::size_t ethertype_offset = 12;

}  // namespace reflector::xdp::test
