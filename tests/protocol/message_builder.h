// Handler slots holding requests, for the protocol tests. The requests come
// from the protocol's own write_request; tests that need a malformed one
// spoil a valid one.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "protocol/reflection.h"
#include "protocol/request.h"
#include "tests/support/addresses.h"

namespace reflector::test {

inline constexpr request_key example_key{
    {0xaa, 0xbb, 0xcc, 0xdd},
    {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0a, 0x0b, 0x0c}};

// One batch slot as the loop hands it to the handler.
struct slot {
  address16 address{};
  std::uint16_t port = 0;  // network order
  std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(longest_request);
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

// A request with the example key from sender, its header as write_request
// writes it (target only for a FORWARD); the bytes after the header follow a
// recognisable pattern.
inline slot request(std::uint16_t type, const char* sender, std::uint16_t sender_port,
                    const wire_endpoint& target = {}) {
  slot s;
  for (std::size_t i = header_size; i < s.buffer.size(); ++i) {
    s.buffer[i] = static_cast<std::uint8_t>(0x5a ^ i);
  }
  write_request(s.buffer.data(), type, example_key, target);
  s.address = address_of(sender);
  s.port = network_port(sender_port);
  return s;
}

inline slot forward_request(const char* sender, std::uint16_t sender_port, const char* target,
                            std::uint16_t target_port) {
  return request(FORWARD, sender, sender_port,
                 wire_endpoint{port_bytes(target_port), address_of(target)});
}

}  // namespace reflector::test
