// Talking to a running service as a client would: building requests (with
// the protocol's own write_request), reading the endpoint a reply carries,
// and waiting until the service answers. Every wait here is bounded in count
// and in time. The service's port is the protocol's service_port.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/endpoint_encoding.h"
#include "protocol/message_layout.h"

namespace reflector::test {

// A request of the given type, `length` bytes long: a whole header as
// write_request writes it, cut when length is shorter. tag goes into the
// transaction id, so that replies can be told apart; target is the FORWARD's
// target (a QUERY carries zeros there). Bytes after the header follow a
// pattern that depends on their offset.
std::vector<std::uint8_t> make_request(std::uint16_t type, std::uint32_t tag,
                                       std::size_t length = header_size,
                                       const wire_endpoint& target = {});

// The same, naming a target by text address and host-order port.
std::vector<std::uint8_t> make_forward(const std::string& target_address,
                                       std::uint16_t target_port, std::uint32_t tag);

// The tag make_request put into a message (reply or request).
std::uint32_t tag_of(const std::vector<std::uint8_t>& message);

// The port (host order) and address a reply carries, unmasked with its key.
struct carried_endpoint {
  std::uint16_t port = 0;
  std::array<std::uint8_t, address_size> address{};
};
carried_endpoint endpoint_in(const std::vector<std::uint8_t>& reply);

// Sends QUERYs to address:port from a fresh socket, one every `interval`, at
// most `attempts` times, until a QUERY_REPLY comes back. True if one did.
bool wait_until_answering(const std::string& address = "127.0.0.1",
                          std::uint16_t port = service_port, int attempts = 200,
                          std::chrono::milliseconds interval = std::chrono::milliseconds(50));

}  // namespace reflector::test
