// Builds request datagrams and handler slots for the protocol tests.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

#include "protocol/reflection.h"
#include "tests/support/addresses.h"

namespace reflector::test {

inline constexpr std::size_t slot_size = 1232;

inline constexpr std::array<std::uint8_t, 4> example_prefix{0xaa, 0xbb, 0xcc, 0xdd};
inline constexpr std::array<std::uint8_t, 12> example_transaction_id{
    0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0a, 0x0b, 0x0c};

// One batch slot as the loop hands it to the handler.
struct slot {
  address16 address{};
  std::uint16_t port = 0;  // network order
  std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(slot_size);
  std::uint32_t length = header_size;
  bool drop = true;

  void handle() { handle_message(address, port, buffer.data(), length, drop); }
};

inline std::uint16_t network_port(std::uint16_t host) {
  std::uint16_t out;
  const auto bytes = port_bytes(host);
  std::memcpy(&out, bytes.data(), 2);
  return out;
}

// A request header with the example prefix and transaction id; the rest of
// the buffer is filled with a recognisable pattern.
inline slot request(std::uint16_t type, const char* sender, std::uint16_t sender_port) {
  slot s;
  for (std::size_t i = 0; i < s.buffer.size(); ++i) {
    s.buffer[i] = static_cast<std::uint8_t>(0x5a ^ i);
  }
  std::copy(example_prefix.begin(), example_prefix.end(), s.buffer.begin());
  std::copy(magic.begin(), magic.end(), s.buffer.begin() + magic_offset);
  std::copy(example_transaction_id.begin(), example_transaction_id.end(),
            s.buffer.begin() + transaction_id_offset);
  write_type(s.buffer.data(), type);
  std::fill(s.buffer.begin() + xport_offset, s.buffer.begin() + header_size, 0);
  s.address = address_of(sender);
  s.port = network_port(sender_port);
  return s;
}

inline slot forward_request(const char* sender, std::uint16_t sender_port, const char* target,
                            std::uint16_t target_port) {
  slot s = request(FORWARD, sender, sender_port);
  encode_endpoint(s.buffer.data(), wire_endpoint{port_bytes(target_port), address_of(target)});
  return s;
}

}  // namespace reflector::test
