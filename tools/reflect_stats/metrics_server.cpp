#include "tools/reflect_stats/metrics_server.h"

#include <httplib.h>
#include <signal.h>

#include <cstdio>
#include <mutex>
#include <thread>

#include "tools/common/endpoint_argument.h"
#include "tools/common/shown_argument.h"
#include "tools/common/tool_errors.h"
#include "tools/reflect_stats/stats_prometheus.h"

namespace reflector::tools {
namespace {

constexpr const char* index_page =
    "reflect-stats: the service's sockets, workers, the system's UDP counters\n"
    "and the fast path's counters, in Prometheus' text format, at /metrics.\n";

// Blocks SIGINT and SIGTERM in every thread, and stops the server from a
// thread of its own when one comes: the server's threads never see them.
std::thread stop_on_signal(httplib::Server& server) {
  sigset_t stop_set;
  sigemptyset(&stop_set);
  sigaddset(&stop_set, SIGINT);
  sigaddset(&stop_set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_set, nullptr);
  return std::thread([&server, stop_set] {
    int signal_number = 0;
    sigwait(&stop_set, &signal_number);
    server.stop();
  });
}

}  // namespace

void serve_metrics(const std::string& listen, const snapshot_options& options) {
  const host_and_port where = split_host_port(listen);
  if (!where.port) throw usage_error("--listen needs ADDRESS:PORT, not " + quoted_argument(listen));
  const std::string host = where.host.empty() ? "::" : where.host;

  httplib::Server server;
  // Scrapes may come at once, on the server's threads; they take turns
  // with the matches of socket to thread that each reading passes on.
  std::mutex reading;
  thread_matches remembered;
  server.Get("/metrics", [&](const httplib::Request&, httplib::Response& response) {
    std::string text;
    {
      const std::lock_guard turn(reading);
      text = stats_prometheus(take_snapshot(options, remembered));
    }
    response.set_content(text, prometheus_content_type);
  });
  server.Get("/", [](const httplib::Request&, httplib::Response& response) {
    response.set_content(index_page, "text/plain; charset=utf-8");
  });
  // One request per connection: a scraper comes back every few seconds at
  // most, and an idle kept-alive connection would hold up the stop.
  server.set_keep_alive_max_count(1);
  server.set_read_timeout(2, 0);
  // "::" takes IPv4 as well where the system lets a socket take both.
  server.set_socket_options([](socket_t fd) {
    const int on = 1;
    const int off = 0;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
  });
  if (!server.bind_to_port(host, *where.port)) {
    throw usage_error("cannot listen on " + quoted_argument(listen) + " (address not local, or port in use)");
  }
  std::thread stopper = stop_on_signal(server);
  std::printf("serving /metrics on %s\n", listen.c_str());
  std::fflush(stdout);
  server.listen_after_bind();
  // Ended by something other than a signal: wake the waiting thread.
  pthread_kill(stopper.native_handle(), SIGTERM);
  stopper.join();
}

}  // namespace reflector::tools
