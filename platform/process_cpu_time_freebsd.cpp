#include <time.h>

#include "platform/process_cpu_time.h"

namespace reflector {

std::optional<double> process_cpu_seconds(pid_t pid) noexcept {
  if (pid <= 0) return std::nullopt;
  // The process's CPU-time clock counts the run time of all its threads, the
  // total that kern.proc.pid reports in ki_rusage, without struct kinfo_proc:
  // sys/user.h needs the kernel's vm/ headers, which a cross-build sysroot
  // need not carry. The lookup fails for a pid that is gone or hidden from
  // this process; the read fails when the process has gone since.
  clockid_t clock{};
  if (clock_getcpuclockid(pid, &clock) != 0) return std::nullopt;
  timespec used{};
  if (clock_gettime(clock, &used) == -1) return std::nullopt;
  return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) / 1e9;
}

}  // namespace reflector
