// Pinning a worker thread to its CPU.
#pragma once

#include <cstdint>

#include "platform/cpu_affinity.h"

namespace reflector {

// Clears set and adds cpu_index. Returns false, with set left empty, when
// the index has no place in a set of CPU_SETSIZE CPUs (negative, or
// CPU_SETSIZE and above); no bit outside the set is ever written.
bool cpu_set_for(std::int32_t cpu_index, cpuset_t& set) noexcept;

// Restricts the calling thread to CPU cpu_index, or ends the process with
// _exit(-1) if the system refuses. A worker whose CPU the CPU set cannot
// hold runs unpinned: it still serves, on whatever CPU it is given.
void pin_to_cpu(std::int32_t cpu_index) noexcept;

}  // namespace reflector
