// What a load request carries so that its reply can be timed and attributed
// without any state kept per request: the service returns prefix and
// transaction_id untouched, so they hold the run's tag, the sending socket's
// index, the request's sequence number on that socket and its send time.
//
//   prefix          bytes 0-1 run tag, bytes 2-3 socket index
//   transaction_id  bytes 0-7 send time (ns, monotonic clock), bytes 8-11 sequence
#pragma once

#include <cstdint>

#include "protocol/request.h"

namespace reflector::tools {

struct request_stamp {
  std::uint16_t run_tag = 0;
  std::uint16_t socket_index = 0;
  std::uint32_t sequence = 0;
  std::uint64_t sent_ns = 0;
};

namespace stamp_detail {

template <typename Bytes>
constexpr void put_big_endian(Bytes& bytes, std::size_t at, std::uint64_t value, std::size_t width) {
  for (std::size_t i = 0; i < width; ++i) {
    bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * (width - 1 - i)));
  }
}

template <typename Bytes>
constexpr std::uint64_t get_big_endian(const Bytes& bytes, std::size_t at, std::size_t width) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < width; ++i) value = value << 8 | bytes[at + i];
  return value;
}

}  // namespace stamp_detail

constexpr request_key key_of(const request_stamp& stamp) {
  using namespace stamp_detail;
  request_key key;
  put_big_endian(key.prefix, 0, stamp.run_tag, 2);
  put_big_endian(key.prefix, 2, stamp.socket_index, 2);
  put_big_endian(key.transaction_id, 0, stamp.sent_ns, 8);
  put_big_endian(key.transaction_id, 8, stamp.sequence, 4);
  return key;
}

constexpr request_stamp stamp_of(const request_key& key) {
  using namespace stamp_detail;
  return {static_cast<std::uint16_t>(get_big_endian(key.prefix, 0, 2)),
          static_cast<std::uint16_t>(get_big_endian(key.prefix, 2, 2)),
          static_cast<std::uint32_t>(get_big_endian(key.transaction_id, 8, 4)),
          get_big_endian(key.transaction_id, 0, 8)};
}

}  // namespace reflector::tools
