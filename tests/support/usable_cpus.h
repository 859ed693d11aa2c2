// The CPUs this test process may run on, which a service it starts inherits
// and starts one worker for each of.
#pragma once

#include <sched.h>

#include <vector>

namespace reflector::test {

inline std::vector<int> usable_cpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  std::vector<int> cpus;
  if (sched_getaffinity(0, sizeof set, &set) != 0) return cpus;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &set)) cpus.push_back(cpu);
  }
  return cpus;
}

}  // namespace reflector::test
