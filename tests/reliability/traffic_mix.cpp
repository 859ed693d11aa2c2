#include "tests/reliability/traffic_mix.h"

#include <algorithm>

#include "protocol/endpoint_encoding.h"
#include "protocol/message_layout.h"
#include "protocol/request.h"

namespace reflector::test {
namespace {

// splitmix64: the bytes of a random datagram follow from its sequence alone.
std::uint64_t mixed(std::uint64_t x) {
  x += 0x9e3779b97f4a7c15ull;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
  return x ^ (x >> 31);
}

// The identity goes into the first six transaction id bytes.
void write_identity(std::uint8_t* transaction_id, const datagram_identity& id) {
  for (std::size_t i = 0; i < 4; ++i) {
    transaction_id[i] = static_cast<std::uint8_t>(id.sequence >> (24 - 8 * i));
  }
  transaction_id[4] = static_cast<std::uint8_t>(id.kind);
  transaction_id[5] = id.client;
}

// A request as write_request writes it, target only for a FORWARD. The
// prefix, the transaction id after the identity and the bytes after the
// header follow a pattern drawn from the sequence number.
std::vector<std::uint8_t> request(const datagram_identity& id, std::uint16_t type,
                                  std::size_t length, const wire_endpoint& target = {}) {
  std::vector<std::uint8_t> m(std::max(length, header_size));
  const std::uint64_t pattern = mixed(id.sequence);
  for (std::size_t i = 0; i < m.size(); ++i) {
    m[i] = static_cast<std::uint8_t>(pattern >> (8 * (i % 8)) ^ i);
  }
  request_key key = read_key(m.data());
  write_identity(key.transaction_id.data(), id);
  write_request(m.data(), type, key, target);
  return m;
}

std::vector<std::uint8_t> forward(const datagram_identity& id, const std::string& address,
                                  std::uint16_t port) {
  return request(id, FORWARD, header_size + id.sequence % 32,
                 wire_endpoint{port_bytes(port), address_of(address)});
}

std::vector<std::uint8_t> refused_forward(const datagram_identity& id,
                                          const forward_targets& targets) {
  if (id.kind == datagram_kind::forward_refused_port) {
    return forward(id, accepted_v4_address, refused_low_port);
  }
  return forward(id, id.sequence % 2 == 0 ? "127.0.0.1" : "::1", targets.refused_loopback_port);
}

bool looks_like_request(const std::vector<std::uint8_t>& m) {
  if (m.size() < header_size || !has_magic(m.data())) return false;
  const std::uint16_t type = read_type(m.data());
  return type == QUERY || type == FORWARD;
}

std::vector<std::uint8_t> random_datagram(const datagram_identity& id) {
  std::uint64_t state = mixed(id.sequence ^ 0xabcdefull);
  std::vector<std::uint8_t> m(state % 1400);
  for (auto& byte : m) {
    state = mixed(state);
    byte = static_cast<std::uint8_t>(state);
  }
  if (m.size() >= header_size) write_identity(m.data() + transaction_id_offset, id);
  if (looks_like_request(m)) m[magic_offset] ^= 0x01;
  return m;
}

std::vector<std::uint8_t> unanswered(const datagram_identity& id) {
  switch (id.kind) {
    case datagram_kind::truncated: {
      std::vector<std::uint8_t> m = request(id, QUERY, header_size);
      m.resize(id.sequence % header_size);
      return m;
    }
    case datagram_kind::wrong_magic: {
      std::vector<std::uint8_t> m = request(id, QUERY, header_size + id.sequence % 200);
      m[magic_offset + id.sequence % 4] ^= static_cast<std::uint8_t>(1u << (id.sequence / 4 % 8));
      return m;
    }
    case datagram_kind::reply_type: {
      constexpr std::uint16_t types[] = {QUERY_REPLY, FORWARD_REPLY, 0x0000, 0x0003, 0x0100, 0x0200};
      return request(id, types[id.sequence % 6], header_size + id.sequence % 64);
    }
    default:
      return random_datagram(id);
  }
}

}  // namespace

const char* kind_name(datagram_kind kind) {
  constexpr const char* names[kind_count] = {
      "query",     "oversize_query", "forward_accepted_v6", "forward_accepted_v4",
      "forward_refused_address", "forward_refused_port", "truncated", "wrong_magic",
      "reply_type", "random_bytes"};
  return names[static_cast<std::size_t>(kind)];
}

bool is_answered(datagram_kind kind) {
  return kind == datagram_kind::query || kind == datagram_kind::oversize_query ||
         kind == datagram_kind::forward_accepted_v6 || kind == datagram_kind::forward_accepted_v4;
}

std::vector<std::uint8_t> build_datagram(const datagram_identity& id,
                                         const forward_targets& targets) {
  switch (id.kind) {
    case datagram_kind::query:
      return request(id, QUERY, header_size + id.sequence % 63 * 19);
    case datagram_kind::oversize_query:
      return request(id, QUERY,
                     longest_request + 1 + id.sequence % (largest_datagram - longest_request));
    case datagram_kind::forward_accepted_v6:
      return forward(id, accepted_v6_address, targets.accepted_v6_port);
    case datagram_kind::forward_accepted_v4:
      return forward(id, accepted_v4_address, targets.accepted_v4_port);
    case datagram_kind::forward_refused_address:
    case datagram_kind::forward_refused_port:
      return refused_forward(id, targets);
    default:
      return unanswered(id);
  }
}

datagram_identity identity_of(const std::uint8_t* m, std::size_t length) {
  datagram_identity id;
  if (length < transaction_id_offset + 6) return id;
  for (std::size_t i = 0; i < 4; ++i) id.sequence = id.sequence << 8 | m[transaction_id_offset + i];
  id.kind = static_cast<datagram_kind>(m[transaction_id_offset + 4] % kind_count);
  id.client = m[transaction_id_offset + 5];
  return id;
}

std::vector<std::uint8_t> expected_reply(const datagram_identity& id,
                                         const forward_targets& targets,
                                         const address16& requester_address,
                                         std::uint16_t requester_port) {
  std::vector<std::uint8_t> m = build_datagram(id, targets);
  m.resize(std::min(m.size(), longest_request));
  const bool is_query = id.kind == datagram_kind::query || id.kind == datagram_kind::oversize_query;
  write_type(m.data(), is_query ? QUERY_REPLY : FORWARD_REPLY);
  encode_endpoint(m.data(), wire_endpoint{port_bytes(requester_port), requester_address});
  return m;
}

}  // namespace reflector::test
