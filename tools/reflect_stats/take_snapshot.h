// Reads everything reflect-stats reports, from the system alone: the
// service keeps no counters of its own.
#pragma once

#include <sys/types.h>

#include <optional>

#include "platform/socket_owners.h"
#include "tools/reflect_stats/service_snapshot.h"

namespace reflector::tools {

struct snapshot_options {
  // The service's process, when the operator names it; otherwise the owner
  // of the sockets on the port, or else the one process named reflectord.
  std::optional<pid_t> pid;
};

// One reading on its own: a worker too busy to be seen waiting while it is
// taken is left apart from its socket.
service_snapshot take_snapshot(const snapshot_options& options);

// One of a series (a table a second, an exporter's scrapes): which thread
// serves which socket is remembered in `remembered` from one reading to the
// next, for as long as the socket and the thread live.
service_snapshot take_snapshot(const snapshot_options& options, thread_matches& remembered);

}  // namespace reflector::tools
