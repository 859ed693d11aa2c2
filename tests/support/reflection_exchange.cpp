#include "tests/support/reflection_exchange.h"

#include <algorithm>

#include "protocol/request.h"
#include "tests/support/addresses.h"
#include "tests/support/udp_socket.h"

namespace reflector::test {

namespace {

// The key of the request tagged tag: a fixed prefix, the tag in the first
// four transaction id bytes and a fixed pattern in the rest.
request_key key_tagged(std::uint32_t tag) {
  request_key key{{0xaa, 0xbb, 0xcc, 0xdd}, {}};
  for (std::size_t i = 0; i < transaction_id_size; ++i) {
    key.transaction_id[i] = static_cast<std::uint8_t>(i < 4 ? tag >> (24 - 8 * i) : 0x40 + i);
  }
  return key;
}

}  // namespace

std::vector<std::uint8_t> make_request(std::uint16_t type, std::uint32_t tag, std::size_t length,
                                       const wire_endpoint& target) {
  std::vector<std::uint8_t> message(std::max(length, header_size));
  for (std::size_t i = header_size; i < message.size(); ++i) {
    message[i] = static_cast<std::uint8_t>(i * 7 + 3);
  }
  write_request(message.data(), type, key_tagged(tag), target);
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
