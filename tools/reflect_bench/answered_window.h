// Which of one socket's latest requests have been answered, so that a second
// reply to the same request is told from the first with no state kept per
// request: one bit per sequence number, in a ring over the last `span`
// sequences the socket sent. A reply to a request older than that cannot be
// told from a duplicate, and is reported as too old rather than guessed at.
#pragma once

#include <bit>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace reflector::tools {

enum class reply_order { first, duplicate, too_old };

class answered_window {
 public:
  // span: a power of two, at least 64.
  explicit answered_window(std::uint32_t span) : span_(span), bits_(span / 64) {
    if (span < 64 || !std::has_single_bit(span)) {
      throw std::invalid_argument("answered_window: span must be a power of two of 64 or more");
    }
  }

  std::uint32_t span() const { return span_; }

  // To be called as sequences first .. first + count - 1 go out: their slots
  // forget the requests span sequences older that held them.
  void open(std::uint32_t first, std::uint32_t count) {
    for (std::uint32_t k = 0; k < count; ++k) bits_[word(first + k)] &= ~bit(first + k);
  }

  // Records a good reply to sequence, one the socket has sent, with next the
  // sequence it sends next (both with wrap-around).
  reply_order record(std::uint32_t sequence, std::uint32_t next) {
    const std::uint32_t behind = next - sequence;
    if (behind == 0 || behind > span_) return reply_order::too_old;
    std::uint64_t& slot = bits_[word(sequence)];
    if ((slot & bit(sequence)) != 0) return reply_order::duplicate;
    slot |= bit(sequence);
    return reply_order::first;
  }

 private:
  std::size_t word(std::uint32_t sequence) const { return (sequence & (span_ - 1)) / 64; }
  static std::uint64_t bit(std::uint32_t sequence) { return std::uint64_t{1} << (sequence % 64); }

  std::uint32_t span_;
  std::vector<std::uint64_t> bits_;
};

// The span each of `sockets` sockets gets: 2^25 bits (4 MiB) shared out, so
// that few busy sockets look far back, and never fewer than 2^16 sequences,
// well past the widest closed-loop window.
constexpr std::uint32_t answered_window_span(unsigned sockets) {
  const std::uint32_t shared = (std::uint32_t{1} << 25) / std::bit_ceil(sockets < 1 ? 1u : sockets);
  return shared < (std::uint32_t{1} << 16) ? std::uint32_t{1} << 16 : shared;
}

}  // namespace reflector::tools
