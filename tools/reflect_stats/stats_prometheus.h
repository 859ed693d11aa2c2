// reflect-stats --prometheus, and what --listen serves at /metrics: a
// reading in Prometheus' text exposition format. Names carry the
// reflector_ prefix, counters end in _total, sizes are in bytes and times
// in seconds; sockets are labelled by id and worker, the system's counters
// by family, the fast path's by interface, reason and family. A figure the
// system does not count is left out rather than reported as 0.
#pragma once

#include <string>

#include "tools/reflect_stats/service_snapshot.h"

namespace reflector::tools {

// The content type of that format, for HTTP.
inline constexpr const char* prometheus_content_type = "text/plain; version=0.0.4; charset=utf-8";

std::string stats_prometheus(const service_snapshot& snapshot);

}  // namespace reflector::tools
