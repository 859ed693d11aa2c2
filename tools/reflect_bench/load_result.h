// What a load run counted.
#pragma once

#include <cstdint>

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
  std::uint64_t answered = 0;  // good replies
  mismatch_counts mismatched;
  std::uint64_t send_refusals = 0;   // sendmmsg calls the kernel refused outright
  bool fell_behind = false;          // open loop: could not keep the offered rate
  double sending_seconds = 0;        // from the first send to the end of sending
  latency_histogram latency;

  std::uint64_t lost() const { return sent > answered ? sent - answered : 0; }
};

}  // namespace reflector::tools
