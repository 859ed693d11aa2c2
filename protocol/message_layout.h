// The reflection message header (its size, fixed magic, field offsets and
// message types) and the fixed numbers around it: the service's port, the
// longest request it answers, the lowest port it forwards to. Everything
// that speaks the protocol takes these from here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace reflector {

// The UDP port the service listens on and answers from.
inline constexpr std::uint16_t service_port = 1213;

inline constexpr std::size_t header_size = 40;

// The longest request answered in full. The service takes in at most this
// many bytes of a datagram; a longer one is cut to them and, if valid,
// answered with them, so no reply is ever longer.
inline constexpr std::size_t longest_request = 1232;

inline constexpr std::array<std::uint8_t, 4> magic{0x12, 0x13, 0x10, 0x17};

// Field offsets and widths, in bytes from the start of the datagram.
inline constexpr std::size_t prefix_offset = 0;
inline constexpr std::size_t prefix_size = 4;
inline constexpr std::size_t magic_offset = 4;
inline constexpr std::size_t transaction_id_offset = 8;
inline constexpr std::size_t transaction_id_size = 12;
inline constexpr std::size_t type_offset = 20;
inline constexpr std::size_t xport_offset = 22;
inline constexpr std::size_t xaddress_offset = 24;
inline constexpr std::size_t address_size = 16;

// The message key (magic followed by transaction_id) masks the endpoint.
inline constexpr std::size_t key_offset = magic_offset;
inline constexpr std::size_t key_size = 16;

// Message types, as the 16-bit big-endian value of bytes 20-21.
inline constexpr std::uint16_t QUERY = 0x0001;
inline constexpr std::uint16_t FORWARD = 0x0002;
inline constexpr std::uint16_t QUERY_REPLY = 0x0101;
inline constexpr std::uint16_t FORWARD_REPLY = 0x0102;

// The lowest target port a FORWARD may name.
inline constexpr std::uint16_t lowest_forward_port = 1024;

// Reads the message type; the message must hold at least header_size bytes.
constexpr std::uint16_t read_type(const std::uint8_t* message) noexcept {
  return static_cast<std::uint16_t>(message[type_offset] << 8 | message[type_offset + 1]);
}

constexpr void write_type(std::uint8_t* message, std::uint16_t type) noexcept {
  message[type_offset] = static_cast<std::uint8_t>(type >> 8);
  message[type_offset + 1] = static_cast<std::uint8_t>(type & 0xff);
}

constexpr bool has_magic(const std::uint8_t* message) noexcept {
  return message[magic_offset] == magic[0] && message[magic_offset + 1] == magic[1] &&
         message[magic_offset + 2] == magic[2] && message[magic_offset + 3] == magic[3];
}

}  // namespace reflector
