// The CPU time a process on this machine has used so far, by process id,
// so that a load test can put the cost of its work next to its throughput.
//   Linux:   utime and stime of /proc/PID/stat, in clock ticks.
//   FreeBSD: the process's CPU-time clock (clock_getcpuclockid), in
//            nanoseconds; there is no /proc to read.
// Either way the sum covers every thread of the process, live or ended, but
// not its children.
#pragma once

#include <sys/types.h>

#include <optional>

namespace reflector {

// User plus system seconds that process pid has used. nullopt when pid is
// not above 0, names no process (never was, or gone and reaped), or the
// system will not show it to this process.
std::optional<double> process_cpu_seconds(pid_t pid) noexcept;

}  // namespace reflector
