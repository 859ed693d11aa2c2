// reflect-stats --listen: serves a fresh reading at /metrics over HTTP, in
// Prometheus' text format, until SIGINT or SIGTERM. Requests that arrive
// together share one reading; nothing else is kept between requests but
// which thread serves which socket.
#pragma once

#include <string>

#include "tools/reflect_stats/take_snapshot.h"

namespace reflector::tools {

// listen is ADDRESS:PORT ("127.0.0.1:9213", "[::1]:9213", ":9213" for every
// address). Prints one line once it listens. Throws usage_error for an
// address it cannot listen on, and std::runtime_error when serving stops
// for any reason but a stop signal; returns after a stop signal.
void serve_metrics(const std::string& listen, const snapshot_options& options);

}  // namespace reflector::tools
