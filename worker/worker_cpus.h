// Which CPUs the workers run on: one worker for each CPU the process may
// use, so that an operator's restriction (a container's cpuset, taskset,
// systemd's CPUAffinity= or AllowedCPUs=, cpuset(1) on FreeBSD) decides both
// how many workers there are and where they run.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/cpu_affinity.h"

namespace reflector {

// The CPUs of set in ascending order.
std::vector<std::int32_t> cpus_in(const cpuset_t& set);

// The CPUs the calling process may run on, in ascending order; worker i is
// pinned to entry i. Ask before starting any worker. Where the system cannot
// tell, CPUs 0 to std::thread::hardware_concurrency()-1 (none if that is 0).
std::vector<std::int32_t> worker_cpus();

}  // namespace reflector
