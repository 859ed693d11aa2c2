// The datagrams that the load tests throw at a running service: valid
// QUERYs and FORWARDs, and every kind of datagram that must get no answer.
// Each datagram is a pure function of its kind, sequence number and client,
// so that any reply can be checked byte for byte against the request it
// claims to answer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/message_layout.h"
#include "tests/support/addresses.h"

namespace reflector::test {

enum class datagram_kind : std::uint8_t {
  query,                    // 40-1218 bytes, answered with the same length
  oversize_query,           // longer than longest_request, answered cut to it
  forward_accepted_v6,      // to the IPv6 documentation listener
  forward_accepted_v4,      // to the IPv4 documentation listener
  forward_refused_address,  // to listeners on 127.0.0.1 and ::1
  forward_refused_port,     // to a documentation address, port 999
  truncated,                // a valid QUERY header cut to 0-39 bytes
  wrong_magic,              // a QUERY with one bit of the magic flipped
  reply_type,               // reply and unknown types
  random_bytes,             // anything at all that is not a request
};
inline constexpr std::size_t kind_count = 10;

const char* kind_name(datagram_kind kind);

// QUERYs and accepted FORWARDs; every other kind must get no datagram back.
bool is_answered(datagram_kind kind);

// Where FORWARD targets point; every port in host order.
struct forward_targets {
  std::uint16_t accepted_v6_port = 0;     // on accepted_v6_address
  std::uint16_t accepted_v4_port = 0;     // on accepted_v4_address
  std::uint16_t refused_loopback_port = 0;  // on 127.0.0.1 and ::1
};
inline constexpr const char* accepted_v6_address = "2001:db8::2";
inline constexpr const char* accepted_v4_address = "198.51.100.1";
inline constexpr std::uint16_t refused_low_port = 999;  // on accepted_v4_address

// The longest oversize_query; every other kind is shorter.
inline constexpr std::size_t largest_datagram = longest_request + 300;

// Where the transaction id carries the identity of a datagram.
struct datagram_identity {
  std::uint32_t sequence = 0;
  datagram_kind kind = datagram_kind::query;
  std::uint8_t client = 0;
};

// The datagram number `sequence` of `kind`, sent by client `client`.
std::vector<std::uint8_t> build_datagram(const datagram_identity& identity,
                                         const forward_targets& targets);

// The identity written into a message's transaction id (bytes 8-13).
datagram_identity identity_of(const std::uint8_t* message, std::size_t length);

// What the service must send for an answered datagram: the request cut to
// longest_request bytes, with its reply type and the requester's endpoint encoded.
std::vector<std::uint8_t> expected_reply(const datagram_identity& identity,
                                         const forward_targets& targets,
                                         const address16& requester_address,
                                         std::uint16_t requester_port);

}  // namespace reflector::test
