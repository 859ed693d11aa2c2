// What a load run counted.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>

#include "tools/reflect_bench/latency_histogram.h"

namespace reflector::tools {

struct mismatch_counts {
  std::uint64_t wrong_type = 0;
  std::uint64_t wrong_length = 0;
  std::uint64_t wrong_address = 0;
  std::uint64_t foreign = 0;  // not attributable to a request of this run

  std::uint64_t total() const { return wrong_type + wrong_length + wrong_address + foreign; }
};

struct load_result {
  std::uint64_t sent = 0;
  std::uint64_t answered = 0;    // requests with a good reply: the first one
  std::uint64_t duplicated = 0;  // good replies beyond the first to one request
  // Good replies to requests so old that their socket can no longer tell
  // whether they were answered before; not counted as answers.
  std::uint64_t late = 0;
  mismatch_counts mismatched;
  // Datagrams the kernel dropped at this tool's own receiving sockets;
  // nullopt where the system keeps no such count.
  std::optional<std::uint64_t> dropped_at_generator;
  std::uint64_t send_refusals = 0;   // sendmmsg calls the kernel refused outright
  bool fell_behind = false;          // open loop: could not keep the offered rate
  int stopped_by_signal = 0;         // the signal that ended sending early; 0: none did
  double sending_seconds = 0;        // from the first send to the end of sending
  latency_histogram latency;

  std::uint64_t lost() const { return sent > answered ? sent - answered : 0; }
  // The drops at this tool's sockets may include duplicates and datagrams not
  // of this run, so they explain at most what was lost.
  std::optional<std::uint64_t> lost_at_generator() const {
    if (!dropped_at_generator) return std::nullopt;
    return std::min(*dropped_at_generator, lost());
  }
  std::optional<std::uint64_t> lost_beyond() const {
    if (!dropped_at_generator) return std::nullopt;
    return lost() - *lost_at_generator();
  }
  // Every datagram that came back and was looked at.
  std::uint64_t received() const { return answered + duplicated + late + mismatched.total(); }
};

}  // namespace reflector::tools
