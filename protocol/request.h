// The client's side of the protocol: writing a request header and telling
// whether a datagram is the reply that answers it. The service carries bytes
// 0-19 back untouched, so prefix and transaction_id are what tie a reply to
// its request.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

#include "protocol/endpoint_encoding.h"
#include "protocol/message_layout.h"

namespace reflector {

// The bytes a client chooses and the service returns unchanged.
struct request_key {
  std::array<std::uint8_t, prefix_size> prefix{};
  std::array<std::uint8_t, transaction_id_size> transaction_id{};
};

// The reply type the service answers a request type with; 0 for anything
// that is not a request.
constexpr std::uint16_t reply_type_for(std::uint16_t request_type) noexcept {
  switch (request_type) {
    case QUERY: return QUERY_REPLY;
    case FORWARD: return FORWARD_REPLY;
    default: return 0;
  }
}

// Writes a header_size-byte request at message. For a FORWARD, target is the
// endpoint the reply is to go to; a QUERY carries zeros there, which the
// service overwrites.
constexpr void write_request(std::uint8_t* message, std::uint16_t type, const request_key& key,
                             const wire_endpoint& target = {}) noexcept {
  std::copy(key.prefix.begin(), key.prefix.end(), message + prefix_offset);
  std::copy(magic.begin(), magic.end(), message + magic_offset);
  std::copy(key.transaction_id.begin(), key.transaction_id.end(),
            message + transaction_id_offset);
  write_type(message, type);
  if (type == FORWARD) {
    encode_endpoint(message, target);
  } else {
    std::fill(message + xport_offset, message + header_size, std::uint8_t{0});
  }
}

constexpr request_key read_key(const std::uint8_t* message) noexcept {
  request_key key;
  std::copy(message + prefix_offset, message + prefix_offset + prefix_size, key.prefix.begin());
  std::copy(message + transaction_id_offset, message + transaction_id_offset + transaction_id_size,
            key.transaction_id.begin());
  return key;
}

// True when reply is a well-formed reply of the given type: long enough and
// with the magic. Says nothing about which request it answers.
constexpr bool is_reply_of_type(const std::uint8_t* reply, std::size_t reply_length,
                                std::uint16_t type) noexcept {
  return reply_length >= header_size && has_magic(reply) && read_type(reply) == type;
}

// True when reply answers request: as long as the request, of the request's
// reply type, with the request's prefix and transaction_id.
constexpr bool answers(const std::uint8_t* request, std::size_t request_length,
                       const std::uint8_t* reply, std::size_t reply_length) noexcept {
  if (request_length < header_size || reply_length != request_length) return false;
  if (!is_reply_of_type(reply, reply_length, reply_type_for(read_type(request)))) return false;
  return std::equal(request + prefix_offset, request + prefix_offset + prefix_size,
                    reply + prefix_offset) &&
         std::equal(request + transaction_id_offset,
                    request + transaction_id_offset + transaction_id_size,
                    reply + transaction_id_offset);
}

}  // namespace reflector
