#include "worker/cpu_pinning.h"

#include <unistd.h>

namespace reflector {

bool cpu_set_for(std::int32_t cpu_index, cpuset_t& set) noexcept {
  CPU_ZERO(&set);
  if (cpu_index < 0 || cpu_index >= CPU_SETSIZE) return false;
  CPU_SET(static_cast<std::size_t>(cpu_index), &set);
  return true;
}

void pin_to_cpu(std::int32_t cpu_index) noexcept {
  cpuset_t set;
  if (!cpu_set_for(cpu_index, set)) return;
  if (cpuset_setaffinity(CPU_LEVEL_WHICH, CPU_WHICH_TID, -1, sizeof set, &set) != 0) _exit(-1);
}

}  // namespace reflector
