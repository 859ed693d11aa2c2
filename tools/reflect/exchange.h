// One request and the reply that answers it, with retries: the request is
// sent again after each wait that brings no answer, and each wait is twice
// as long as the one before, up to a minute.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "protocol/request.h"
#include "tools/common/datagram_socket.h"

namespace reflector::tools {

struct retry_policy {
  unsigned tries = 3;
  std::chrono::duration<double> first_timeout{0.5};
};

using request_bytes = std::array<std::uint8_t, header_size>;

// A header-only request with a fresh random prefix and transaction id.
request_bytes make_request(std::uint16_t type, const wire_endpoint& target = {});

struct answer {
  request_bytes reply{};
  unsigned tries = 0;              // sends it took
  double round_trip_seconds = 0;  // from just before the last send to the reply
};

// Sends request to server from sender and waits on receiver for a datagram
// from server that answers it (see answers() in protocol/request.h); every
// other datagram is ignored. nullopt when all tries went unanswered.
std::optional<answer> exchange(const datagram_socket& sender, const socket_endpoint& server,
                               const request_bytes& request, const datagram_socket& receiver,
                               const retry_policy& retry);

// "no reply from SERVER after N tries", for the no_answer a command throws.
std::string no_reply_message(const socket_endpoint& server, unsigned tries);

inline std::optional<answer> exchange(const datagram_socket& socket, const socket_endpoint& server,
                                      const request_bytes& request, const retry_policy& retry) {
  return exchange(socket, server, request, socket, retry);
}

}  // namespace reflector::tools
