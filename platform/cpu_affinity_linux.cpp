#include "platform/cpu_affinity.h"

#include <cerrno>

int cpuset_setaffinity(cpulevel_t level, cpuwhich_t which, std::int64_t id, std::size_t setsize,
                       const cpuset_t* mask) noexcept {
  if (level != CPU_LEVEL_WHICH || which != CPU_WHICH_TID || id != -1) {
    errno = EINVAL;
    return -1;
  }
  // Pid 0 names the calling thread; going through sched_setaffinity keeps the
  // call visible to anything interposed on it.
  return sched_setaffinity(0, setsize, mask);
}

// Linux keeps a mask per thread; the process's is the one the main thread
// started with, which is the caller's as long as no thread has changed its
// own. The service asks before it starts any worker.
int cpuset_getaffinity(cpulevel_t level, cpuwhich_t which, std::int64_t id, std::size_t setsize,
                       cpuset_t* mask) noexcept {
  if (level != CPU_LEVEL_WHICH || which != CPU_WHICH_PID || id != -1) {
    errno = EINVAL;
    return -1;
  }
  return sched_getaffinity(0, setsize, mask);
}
