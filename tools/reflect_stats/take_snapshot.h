// Reads everything reflect-stats reports, from the system alone: the
// service keeps no counters of its own.
#pragma once

#include <sys/types.h>

#include <optional>

#include "tools/reflect_stats/service_snapshot.h"

namespace reflector::tools {

struct snapshot_options {
  // The service's process, when the operator names it; otherwise the owner
  // of the sockets on the port, or else the one process named reflectord.
  std::optional<pid_t> pid;
};

service_snapshot take_snapshot(const snapshot_options& options);

}  // namespace reflector::tools
