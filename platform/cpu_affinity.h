// CPU sets and affinity: cpuset_t, CPU_ZERO, CPU_SET, CPU_ISSET,
// CPU_SETSIZE, cpuset_setaffinity and cpuset_getaffinity, as FreeBSD has
// them. On Linux the set is the system's own 1024-bit cpu_set_t, setting
// covers only the calling thread (CPU_LEVEL_WHICH, CPU_WHICH_TID, id -1) and
// getting only the calling process (CPU_LEVEL_WHICH, CPU_WHICH_PID, id -1).
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__FreeBSD__)

#include <sys/param.h>
#include <sys/cpuset.h>

#else

#include <sched.h>

using cpuset_t = cpu_set_t;
using cpulevel_t = int;
using cpuwhich_t = int;

inline constexpr cpulevel_t CPU_LEVEL_WHICH = 3;
inline constexpr cpuwhich_t CPU_WHICH_TID = 1;
inline constexpr cpuwhich_t CPU_WHICH_PID = 2;

// Restricts the calling thread to the CPUs of mask. Any other level, which
// or id than the calling thread's fails with EINVAL. Returns 0, or -1 with
// errno set (for instance when no CPU of mask is available to the thread).
int cpuset_setaffinity(cpulevel_t level, cpuwhich_t which, std::int64_t id, std::size_t setsize,
                       const cpuset_t* mask) noexcept;

// Fills mask with the CPUs the calling process may run on: at start, what
// its cpuset and any affinity it was started with (taskset, systemd's
// CPUAffinity=) allow. Any other level, which or id fails with EINVAL.
// Returns 0, or -1 with errno set.
int cpuset_getaffinity(cpulevel_t level, cpuwhich_t which, std::int64_t id, std::size_t setsize,
                       cpuset_t* mask) noexcept;

#endif
