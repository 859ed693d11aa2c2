// CPU time a process on this machine has used so far, from /proc, so that
// the cost of each reply can be reported next to the throughput.
#pragma once

#include <optional>
#include <sys/types.h>

namespace reflector::tools {

// User plus system seconds of every thread of pid; nullopt when the
// process cannot be read (gone, or not on this machine).
std::optional<double> process_cpu_seconds(pid_t pid);

// The same for the calling process.
double own_cpu_seconds();

}  // namespace reflector::tools
