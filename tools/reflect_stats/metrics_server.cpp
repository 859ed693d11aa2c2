#include "tools/reflect_stats/metrics_server.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <exception>

#include "tools/common/endpoint_argument.h"
#include "tools/common/shown_argument.h"
#include "tools/common/tool_errors.h"
#include "tools/reflect_stats/http_response.h"
#include "tools/reflect_stats/http_server.h"
#include "tools/reflect_stats/stats_prometheus.h"
#include "tools/reflect_stats/tcp_listener.h"

namespace reflector::tools {
namespace {

constexpr const char* index_page =
    "reflect-stats: the service's sockets, workers, the system's UDP counters\n"
    "and the fast path's counters, in Prometheus' text format, at /metrics.\n";

constexpr const char* plain_text = "text/plain; charset=utf-8";

bool wants_metrics(const http_exchange& exchange) { return exchange.request.path == "/metrics"; }

// One reading for every /metrics request of the turn, taken after they
// all arrived.
void answer(std::vector<http_exchange>& exchanges, const snapshot_options& options, thread_matches& remembered) {
  std::string metrics;
  std::string failure;  // why there is no reading: answered with 500
  if (std::any_of(exchanges.begin(), exchanges.end(), wants_metrics)) {
    try {
      metrics = stats_prometheus(take_snapshot(options, remembered));
    } catch (const std::exception& error) {
      failure = std::string("reading failed: ") + error.what() + "\n";
    }
  }
  for (auto& exchange : exchanges) {
    const bool head = exchange.request.head;
    if (wants_metrics(exchange) && !failure.empty()) {
      exchange.response = http_response(500, plain_text, failure, head);
    } else if (wants_metrics(exchange)) {
      exchange.response = http_response(200, prometheus_content_type, metrics, head);
    } else if (exchange.request.path == "/") {
      exchange.response = http_response(200, plain_text, index_page, head);
    } else {
      exchange.response = http_response(404, plain_text, "Not Found\n", head);
    }
  }
}

}  // namespace

void serve_metrics(const std::string& listen, const snapshot_options& options) {
  const host_and_port where = split_host_port(listen);
  if (!where.port) throw usage_error("--listen needs ADDRESS:PORT, not " + quoted_argument(listen));
  const int listener = listen_tcp(where.host.empty() ? "::" : where.host, *where.port, listen);
  std::printf("serving /metrics on %s\n", listen.c_str());
  std::fflush(stdout);
  thread_matches remembered;
  try {
    serve_http(listener, [&](std::vector<http_exchange>& exchanges) { answer(exchanges, options, remembered); });
  } catch (...) {
    close(listener);
    throw;
  }
  close(listener);
}

}  // namespace reflector::tools
