// reflect-stats' table: the service, one row per worker with its socket,
// the totals, the system's UDP counters per family and the fast path's
// counters per interface. Given the reading before, it adds per-second
// rates over the time between the two (reflect-stats --watch).
#pragma once

#include <string>

#include "tools/reflect_stats/service_snapshot.h"

namespace reflector::tools {

std::string stats_table(const service_snapshot& now, const service_snapshot* before = nullptr);

}  // namespace reflector::tools
