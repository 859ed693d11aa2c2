#include "tests/support/reflection_exchange.h"

#include <algorithm>

#include "tests/support/addresses.h"
#include "tests/support/udp_socket.h"

namespace reflector::test {

std::vector<std::uint8_t> make_request(std::uint16_t type, std::uint32_t tag, std::size_t length,
                                       const wire_endpoint& target) {
  std::vector<std::uint8_t> message(std::max(length, header_size));
  for (std::size_t i = header_size; i < message.size(); ++i) {
    message[i] = static_cast<std::uint8_t>(i * 7 + 3);
  }
  const std::uint8_t prefix[] = {0xaa, 0xbb, 0xcc, 0xdd};
  std::copy(std::begin(prefix), std::end(prefix), message.begin() + prefix_offset);
  std::copy(magic.begin(), magic.end(), message.begin() + magic_offset);
  for (std::size_t i = 0; i < transaction_id_size; ++i) {
    message[transaction_id_offset + i] = static_cast<std::uint8_t>(0x40 + i);
  }
  for (std::size_t i = 0; i < 4; ++i) {
    message[transaction_id_offset + i] = static_cast<std::uint8_t>(tag >> (24 - 8 * i));
  }
  write_type(message.data(), type);
  encode_endpoint(message.data(), target);
  message.resize(length);
  return message;
}

std::vector<std::uint8_t> make_forward(const std::string& target_address,
                                       std::uint16_t target_port, std::uint32_t tag) {
  return make_request(FORWARD, tag, header_size,
                      wire_endpoint{port_bytes(target_port), address_of(target_address)});
}

std::uint32_t tag_of(const std::vector<std::uint8_t>& message) {
  std::uint32_t tag = 0;
  for (std::size_t i = 0; i < 4; ++i) tag = tag << 8 | message.at(transaction_id_offset + i);
  return tag;
}

carried_endpoint endpoint_in(const std::vector<std::uint8_t>& reply) {
  if (reply.size() < header_size) return {};
  const wire_endpoint wire = decode_endpoint(reply.data());
  return {port_number(wire), wire.address};
}

bool wait_until_answering(const std::string& address, std::uint16_t port, int attempts,
                          std::chrono::milliseconds interval) {
  const udp_socket client("::");
  for (int attempt = 0; attempt < attempts; ++attempt) {
    const std::uint32_t tag = 0x7e000000u + static_cast<std::uint32_t>(attempt);
    client.send_to(address, port, make_request(QUERY, tag));
    const auto deadline = std::chrono::steady_clock::now() + interval;
    while (std::chrono::steady_clock::now() < deadline) {
      const auto reply = client.receive(interval);
      if (reply && reply->bytes.size() >= header_size &&
          read_type(reply->bytes.data()) == QUERY_REPLY) {
        return true;
      }
    }
  }
  return false;
}

}  // namespace reflector::test
