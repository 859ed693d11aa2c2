#include "tools/reflect/exchange.h"

#include <algorithm>

#include "tools/common/random_bytes.h"

namespace reflector::tools {
namespace {

using clock = std::chrono::steady_clock;

// Doubling stops here, so that many tries cannot add up to an absurd wait.
constexpr std::chrono::duration<double> longest_wait{60.0};

// Waits until deadline for the answer; ignores everything else.
std::optional<request_bytes> await_answer(const datagram_socket& receiver,
                                          const socket_endpoint& server,
                                          const request_bytes& request, clock::time_point deadline) {
  // One byte more than a reply can be, so that a longer datagram is not
  // mistaken for one of the right length.
  std::array<std::uint8_t, header_size + 1> buffer{};
  while (const auto got = receiver.receive_until(buffer, deadline)) {
    if (got->from == server && answers(request.data(), request.size(), buffer.data(), got->length)) {
      request_bytes reply;
      std::copy(buffer.begin(), buffer.begin() + header_size, reply.begin());
      return reply;
    }
  }
  return std::nullopt;
}

}  // namespace

request_bytes make_request(std::uint16_t type, const wire_endpoint& target) {
  request_key key;
  fill_random(key.prefix);
  fill_random(key.transaction_id);
  request_bytes request{};
  write_request(request.data(), type, key, target);
  return request;
}

std::optional<answer> exchange(const datagram_socket& sender, const socket_endpoint& server,
                               const request_bytes& request, const datagram_socket& receiver,
                               const retry_policy& retry) {
  auto wait = retry.first_timeout;
  for (unsigned attempt = 1; attempt <= retry.tries; ++attempt) {
    // Timed from before the send: the send itself is part of the trip.
    const auto sent_at = clock::now();
    sender.send_to(server, request);
    const auto deadline = sent_at + std::chrono::duration_cast<clock::duration>(wait);
    if (const auto reply = await_answer(receiver, server, request, deadline)) {
      const std::chrono::duration<double> elapsed = clock::now() - sent_at;
      return answer{*reply, attempt, elapsed.count()};
    }
    wait = std::min(wait * 2, longest_wait);
  }
  return std::nullopt;
}

std::string no_reply_message(const socket_endpoint& server, unsigned tries) {
  return "no reply from " + server.text() + " after " + std::to_string(tries) +
         (tries == 1 ? " try" : " tries");
}

}  // namespace reflector::tools
