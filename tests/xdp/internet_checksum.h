// One's-complement checksums computed from scratch over a whole frame, the
// yardstick for the fast path's incremental UDP checksum update: the IPv4
// header checksum and the UDP checksum over its pseudo-header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace reflector::xdp::test {

// Where a UDP datagram sits in a frame: the IP header, the UDP header and
// the UDP length its checksum covers.
struct udp_location {
  bool ipv6 = false;
  std::size_t network = 0;
  std::size_t udp = 0;
  std::size_t length = 0;
};

inline constexpr std::size_t udp_checksum_field = 6;

// Sum of big-endian 16-bit words; an odd last byte counts as its word's high half.
inline std::uint64_t sum_words(std::span<const std::uint8_t> bytes, std::uint64_t sum = 0) {
  std::size_t i = 0;
  for (; i + 1 < bytes.size(); i += 2) sum += static_cast<std::uint64_t>(bytes[i] << 8 | bytes[i + 1]);
  if (i < bytes.size()) sum += static_cast<std::uint64_t>(bytes[i]) << 8;
  return sum;
}

inline std::uint16_t fold(std::uint64_t sum) {
  while (sum > 0xffff) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<std::uint16_t>(sum);
}

// The sum over the UDP datagram and its pseudo-header, with or without the
// checksum field.
inline std::uint16_t udp_sum(std::span<const std::uint8_t> frame, const udp_location& at,
                             bool with_field) {
  const std::size_t address_size = at.ipv6 ? 16 : 4;
  const std::size_t source = at.network + (at.ipv6 ? 8 : 12);
  std::uint64_t sum = sum_words(frame.subspan(source, 2 * address_size));
  sum += 17;  // the protocol (IPv4) or next header (IPv6)
  sum += at.length;
  const auto datagram = frame.subspan(at.udp, at.length);
  sum = sum_words(datagram.first(udp_checksum_field), sum);
  if (with_field) sum = sum_words(datagram.subspan(udp_checksum_field, 2), sum);
  return fold(sum_words(datagram.subspan(udp_checksum_field + 2), sum));
}

// The checksum a sender writes; a computed 0 is sent as ffff, since 0 means
// "none" over IPv4.
inline std::uint16_t udp_checksum(std::span<const std::uint8_t> frame, const udp_location& at) {
  const auto checksum = static_cast<std::uint16_t>(~udp_sum(frame, at, false));
  return checksum == 0 ? 0xffff : checksum;
}

// True when the checksum field holds a checksum that the receiver accepts.
// A zero field is not a checksum at all; callers tell that case apart.
inline bool udp_checksum_verifies(std::span<const std::uint8_t> frame, const udp_location& at) {
  return udp_sum(frame, at, true) == 0xffff;
}

inline std::uint16_t ipv4_header_checksum(std::span<const std::uint8_t> header) {
  constexpr std::size_t field = 10;
  std::uint64_t sum = sum_words(header.first(field));
  sum = sum_words(header.subspan(field + 2), sum);
  return static_cast<std::uint16_t>(~fold(sum));
}

inline bool ipv4_header_verifies(std::span<const std::uint8_t> header) {
  return fold(sum_words(header)) == 0xffff;
}

}  // namespace reflector::xdp::test
