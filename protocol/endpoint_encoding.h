// The endpoint encoding: a port and a 16-byte address XORed with the message
// key (bytes 4-19), written to xport and xaddress. The encoding is its own
// inverse, so encode and decode are the same mask read from either side.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>

#include "protocol/message_layout.h"

namespace reflector {

// A transport address exactly as it travels: port and address in network order.
struct wire_endpoint {
  std::array<std::uint8_t, 2> port{};
  std::array<std::uint8_t, address_size> address{};

  friend constexpr bool operator==(const wire_endpoint&, const wire_endpoint&) = default;
};

// An IPv4 address travels as its IPv4-mapped IPv6 form, ::ffff:a.b.c.d: this
// prefix followed by the four IPv4 bytes.
inline constexpr std::array<std::uint8_t, 12> ipv4_mapped_prefix{0, 0, 0, 0, 0,    0,
                                                                 0, 0, 0, 0, 0xff, 0xff};

constexpr bool is_ipv4_mapped(std::span<const std::uint8_t, address_size> address) noexcept {
  return std::equal(ipv4_mapped_prefix.begin(), ipv4_mapped_prefix.end(), address.begin());
}

// Writes the masked port and address into bytes 22-39; reads only bytes 4-19.
constexpr void encode_endpoint(std::uint8_t* message, const std::uint8_t* port,
                               const std::uint8_t* address) noexcept {
  message[xport_offset] = port[0] ^ message[key_offset];
  message[xport_offset + 1] = port[1] ^ message[key_offset + 1];
  for (std::size_t i = 0; i < address_size; ++i) {
    message[xaddress_offset + i] = address[i] ^ message[key_offset + i];
  }
}

// Unmasks bytes 22-39 into port and address; reads only bytes 4-39.
constexpr void decode_endpoint(const std::uint8_t* message, std::uint8_t* port,
                               std::uint8_t* address) noexcept {
  port[0] = message[xport_offset] ^ message[key_offset];
  port[1] = message[xport_offset + 1] ^ message[key_offset + 1];
  for (std::size_t i = 0; i < address_size; ++i) {
    address[i] = message[xaddress_offset + i] ^ message[key_offset + i];
  }
}

constexpr void encode_endpoint(std::uint8_t* message, const wire_endpoint& endpoint) noexcept {
  encode_endpoint(message, endpoint.port.data(), endpoint.address.data());
}

constexpr wire_endpoint decode_endpoint(const std::uint8_t* message) noexcept {
  wire_endpoint endpoint;
  decode_endpoint(message, endpoint.port.data(), endpoint.address.data());
  return endpoint;
}

constexpr std::uint16_t port_number(const wire_endpoint& endpoint) noexcept {
  return static_cast<std::uint16_t>(endpoint.port[0] << 8 | endpoint.port[1]);
}

constexpr std::array<std::uint8_t, 2> port_bytes(std::uint16_t port) noexcept {
  return {static_cast<std::uint8_t>(port >> 8), static_cast<std::uint8_t>(port & 0xff)};
}

}  // namespace reflector
