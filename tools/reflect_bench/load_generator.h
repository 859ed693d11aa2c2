// The load loop: K connected sockets, each with its own source port so that
// the service's port sharing spreads them over its workers, sending with
// sendmmsg and receiving with recvmmsg. Closed loop keeps a window of
// requests in flight per socket; open loop sends at a fixed total rate.
#pragma once

#include <csignal>
#include <functional>

#include "tools/reflect_bench/load_plan.h"
#include "tools/reflect_bench/load_result.h"

namespace reflector::tools {

struct load_progress {
  double elapsed_seconds = 0;
  std::uint64_t sent = 0;
  std::uint64_t answered = 0;
  std::uint64_t lost = 0;  // skipped or written off so far
  double answered_per_second = 0;  // over the last second
};

// Set from a signal handler to the number of the signal that asks the run to
// end early; 0 while it is to go on. The run looks at it between sends and
// after every wait, and no wait of its own outlasts a second.
using stop_signal = volatile std::sig_atomic_t;

// Runs plan to its end: duration or count, then the drain. progress is called
// about once a second while sending. When stop becomes non-zero, sending
// stops, the drain is cut short, and the result covers what ran and names
// the signal. Throws usage_error when the sockets or the forward target
// cannot be set up.
load_result run_load(const load_plan& plan, const std::function<void(const load_progress&)>& progress,
                     const stop_signal& stop);

}  // namespace reflector::tools
