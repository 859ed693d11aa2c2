// Judges one datagram that came back during a load run against what the run
// sent: a reply of the right type and length, carrying the sending socket's
// own endpoint, with this run's tag and a sequence number that was sent.
#pragma once

#include <cstdint>
#include <span>

#include "protocol/endpoint_encoding.h"
#include "tools/reflect_bench/request_stamp.h"

namespace reflector::tools {

enum class reply_verdict { good, wrong_type, wrong_length, wrong_address, foreign };

struct reply_expectation {
  std::uint16_t type = 0;        // QUERY_REPLY or FORWARD_REPLY
  std::size_t length = 0;        // the request size
  std::uint16_t run_tag = 0;
  std::size_t socket_count = 0;  // a socket index must lie below it
};

// Where each sending socket stands: what the service should see it as, and
// how far its sequence numbers have gone.
struct sender_view {
  wire_endpoint own;
  std::uint64_t sent = 0;       // requests sent so far
  std::uint32_t next_sequence = 0;
};

struct reply_judgement {
  reply_verdict verdict = reply_verdict::foreign;
  request_stamp stamp;
};

// senders is indexed by the stamp's socket index. A datagram is attributed
// by its first 20 bytes (prefix, magic, transaction id), so one cut short
// after them is a reply of the wrong length; everything that cannot be
// attributed to a request of this run is foreign.
reply_judgement judge_reply(std::span<const std::uint8_t> datagram, const reply_expectation& expected,
                            std::span<const sender_view> senders);

}  // namespace reflector::tools
