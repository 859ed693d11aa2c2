#include <cstring>

#include "protocol/reflection.h"

namespace reflector {
namespace {

// The sender's endpoint, in the reply's own key, and the reply type.
void write_reply(std::uint8_t* buffer, std::uint16_t reply_type,
                 std::span<const std::uint8_t, 16> address, std::uint16_t port) noexcept {
  std::uint8_t port_bytes[2];
  std::memcpy(port_bytes, &port, sizeof port_bytes);
  write_type(buffer, reply_type);
  encode_endpoint(buffer, port_bytes, address.data());
}

void answer_query(std::span<std::uint8_t, 16> address, std::uint16_t port,
                  std::uint8_t* buffer, bool& drop) noexcept {
  write_reply(buffer, QUERY_REPLY, address, port);
  drop = false;
}

// The slot is rewritten whatever the verdict; only drop tells the two apart.
void answer_forward(std::span<std::uint8_t, 16> address, std::uint16_t& port,
                    std::uint8_t* buffer, bool& drop) noexcept {
  const wire_endpoint target = decode_endpoint(buffer);
  write_reply(buffer, FORWARD_REPLY, address, port);
  std::memcpy(&port, target.port.data(), sizeof port);
  std::memcpy(address.data(), target.address.data(), address.size());
  drop = !forward_target_allowed(port_number(target), target.address);
}

}  // namespace

void handle_message(std::span<std::uint8_t, 16> address, std::uint16_t& port,
                    std::uint8_t* buffer, const std::uint32_t& length, bool& drop) noexcept {
  if (length < header_size || !has_magic(buffer)) {
    return;
  }
  const std::uint16_t type = read_type(buffer);
  if (type == QUERY) {
    answer_query(address, port, buffer, drop);
  } else if (type == FORWARD) {
    answer_forward(address, port, buffer, drop);
  }
}

}  // namespace reflector
