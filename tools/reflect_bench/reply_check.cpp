#include "tools/reflect_bench/reply_check.h"

#include "protocol/request.h"

namespace reflector::tools {
namespace {

// A reply can be attributed once it holds the stamp: prefix, magic and
// transaction id, the bytes the service returns untouched.
constexpr std::size_t stamped_size = transaction_id_offset + transaction_id_size;

// True when sequence is one that sender has already sent (with wrap-around).
bool was_sent(const sender_view& sender, std::uint32_t sequence) {
  const std::uint32_t behind = sender.next_sequence - sequence;
  return behind >= 1 && behind <= sender.sent;
}

}  // namespace

reply_judgement judge_reply(std::span<const std::uint8_t> datagram, const reply_expectation& expected,
                            std::span<const sender_view> senders) {
  reply_judgement judgement;
  if (datagram.size() < stamped_size || !has_magic(datagram.data())) return judgement;
  judgement.stamp = stamp_of(read_key(datagram.data()));
  const request_stamp& stamp = judgement.stamp;
  if (stamp.run_tag != expected.run_tag || stamp.socket_index >= senders.size() ||
      stamp.socket_index >= expected.socket_count) {
    return judgement;
  }
  const sender_view& sender = senders[stamp.socket_index];
  if (!was_sent(sender, stamp.sequence)) return judgement;
  if (datagram.size() != expected.length) {
    judgement.verdict = reply_verdict::wrong_length;
  } else if (read_type(datagram.data()) != expected.type) {
    judgement.verdict = reply_verdict::wrong_type;
  } else if (decode_endpoint(datagram.data()) != sender.own) {
    judgement.verdict = reply_verdict::wrong_address;
  } else {
    judgement.verdict = reply_verdict::good;
  }
  return judgement;
}

}  // namespace reflector::tools
