// A second, independent statement of which FORWARD targets are refused,
// for tests only: the refused ranges as a table of prefixes and one generic
// prefix match. The production filter is a chain of byte comparisons; this
// model shares none of its code, so the two can be checked against each
// other.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace reflector::test {

using address_bytes16 = std::array<std::uint8_t, 16>;

struct address_prefix {
  address_bytes16 bytes{};
  unsigned length = 0;  // in bits, 0 to 128
  std::string text;     // for failure messages
};

inline address_prefix parse_prefix(const std::string& address, unsigned length) {
  address_prefix prefix;
  in6_addr parsed{};
  if (inet_pton(AF_INET6, address.c_str(), &parsed) != 1 || length > 128) {
    throw std::invalid_argument("bad prefix " + address);
  }
  for (int i = 0; i < 16; ++i) prefix.bytes[i] = parsed.s6_addr[i];
  prefix.length = length;
  prefix.text = address + "/" + std::to_string(length);
  return prefix;
}

// True when the first prefix.length bits of address equal the prefix's.
inline bool prefix_matches(const address_prefix& prefix, const address_bytes16& address) {
  for (unsigned bit = 0; bit < prefix.length; ++bit) {
    const unsigned byte = bit / 8;
    const std::uint8_t mask = static_cast<std::uint8_t>(0x80u >> (bit % 8));
    if ((address[byte] & mask) != (prefix.bytes[byte] & mask)) return false;
  }
  return true;
}

// IPv4 ranges are written in their IPv4-mapped form, so one table and one
// match cover both families.
inline const std::vector<address_prefix>& refused_prefixes() {
  static const std::vector<address_prefix> table{
      parse_prefix("::ffff:10.0.0.0", 96 + 8),
      parse_prefix("::ffff:127.0.0.0", 96 + 8),
      parse_prefix("::ffff:172.16.0.0", 96 + 12),
      parse_prefix("::ffff:169.254.0.0", 96 + 16),
      parse_prefix("::ffff:192.168.0.0", 96 + 16),
      parse_prefix("::ffff:0.0.0.0", 96 + 8),
      parse_prefix("::ffff:224.0.0.0", 96 + 4),
      parse_prefix("::ffff:255.255.255.255", 128),
      parse_prefix("::1", 128),
      parse_prefix("::", 128),
      parse_prefix("fc00::", 7),
      parse_prefix("fe80::", 10),
      parse_prefix("ff00::", 8),
  };
  return table;
}

inline constexpr std::uint16_t model_lowest_port = 1024;

inline bool model_allows(std::uint16_t port, const address_bytes16& address) {
  if (port < model_lowest_port) return false;
  for (const address_prefix& prefix : refused_prefixes()) {
    if (prefix_matches(prefix, address)) return false;
  }
  return true;
}

}  // namespace reflector::test
