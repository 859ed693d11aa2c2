// CPU time used so far by the service (a process on this machine, by pid)
// and by this tool, so that the cost of each reply can be reported next to
// the throughput.
#pragma once

#include "platform/process_cpu_time.h"

namespace reflector::tools {

// User plus system seconds of every thread of a pid; nullopt when the
// process cannot be read (gone, or not on this machine).
using reflector::process_cpu_seconds;

// The same for the calling process.
double own_cpu_seconds();

}  // namespace reflector::tools
