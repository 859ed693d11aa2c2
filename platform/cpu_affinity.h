// CPU sets and thread affinity: cpuset_t, CPU_ZERO, CPU_SET, CPU_SETSIZE and
// cpuset_setaffinity, as FreeBSD has them. On Linux the set is the system's
// own 1024-bit cpu_set_t and the affinity call covers only the calling
// thread (CPU_LEVEL_WHICH, CPU_WHICH_TID, id -1).
#pragma once

#if defined(__FreeBSD__)

#include <sys/param.h>
#include <sys/cpuset.h>

#else

#include <sched.h>

#include <cstddef>
#include <cstdint>

using cpuset_t = cpu_set_t;
using cpulevel_t = int;
using cpuwhich_t = int;

inline constexpr cpulevel_t CPU_LEVEL_WHICH = 3;
inline constexpr cpuwhich_t CPU_WHICH_TID = 1;

// Restricts the calling thread to the CPUs of mask. Any other level, which
// or id than the calling thread's fails with EINVAL. Returns 0, or -1 with
// errno set (for instance when no CPU of mask is available to the thread).
int cpuset_setaffinity(cpulevel_t level, cpuwhich_t which, std::int64_t id, std::size_t setsize,
                       const cpuset_t* mask) noexcept;

#endif
