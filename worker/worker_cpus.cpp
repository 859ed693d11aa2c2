#include "worker/worker_cpus.h"

#include <thread>

namespace reflector {

std::vector<std::int32_t> cpus_in(const cpuset_t& set) {
  std::vector<std::int32_t> cpus;
  for (std::int32_t cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &set)) cpus.push_back(cpu);
  }
  return cpus;
}

std::vector<std::int32_t> worker_cpus() {
  cpuset_t usable;
  CPU_ZERO(&usable);
  if (cpuset_getaffinity(CPU_LEVEL_WHICH, CPU_WHICH_PID, -1, sizeof usable, &usable) == 0) {
    return cpus_in(usable);
  }
  std::vector<std::int32_t> cpus;
  const unsigned count = std::thread::hardware_concurrency();
  for (unsigned cpu = 0; cpu < count; ++cpu) cpus.push_back(static_cast<std::int32_t>(cpu));
  return cpus;
}

}  // namespace reflector
