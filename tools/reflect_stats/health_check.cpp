#include "tools/reflect_stats/health_check.h"

#include <netinet/in.h>

#include <cstdio>

#include "protocol/message_layout.h"
#include "tools/common/endpoint_argument.h"
#include "tools/reflect/exchange.h"
#include "tools/reflect_stats/drop_baseline.h"
#include "tools/reflect_stats/state_file.h"

namespace reflector::tools {
namespace {

// The round trip in seconds, or nullopt without an answer. The timeout is
// spread over three tries, each wait twice the one before.
std::optional<double> query_round_trip(double timeout_seconds) {
  const socket_endpoint server = resolve_endpoint("127.0.0.1", service_port, address_family::ipv4, "server");
  const datagram_socket socket(AF_INET);
  const retry_policy retry{3, std::chrono::duration<double>(timeout_seconds / 7)};
  const auto got = exchange(socket, server, make_request(QUERY), retry);
  if (!got) return std::nullopt;
  return got->round_trip_seconds;
}

std::string milliseconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f ms", seconds * 1e3);
  return text;
}

std::string seconds_text(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%g s", seconds);
  return text;
}

std::string drops_text(const drops_found& found, std::size_t sockets) {
  std::string text = std::to_string(found.datagrams) + " datagrams dropped";
  if (found.sockets > 0) text += " at " + std::to_string(found.sockets) + " of " + std::to_string(sockets) + " sockets";
  return text + " since the last check";
}

// The last check's counts; nullopt on the first check, or when the file
// holds something else (it is then replaced).
std::optional<drop_baseline> last_baseline(const std::string& path) {
  const auto text = read_state_file(path);
  if (!text) return std::nullopt;
  return parse_baseline(*text);
}

}  // namespace

check_outcome run_check(const check_options& options) {
  const std::string path = options.state_file.empty() ? default_state_file() : options.state_file;
  const std::string where = " (state: " + path + ")";
  // The state is read first: a file that cannot be kept fails the check
  // before anything is asked of the service.
  const auto before = last_baseline(path);
  const auto round_trip = query_round_trip(options.timeout_seconds);
  const service_snapshot snapshot = take_snapshot(options.snapshot);
  const drop_baseline now = baseline_of(snapshot);
  replace_state_file(path, baseline_text(now));

  if (!round_trip) {
    return {false, "unhealthy: no answer from 127.0.0.1 port 1213 within " + seconds_text(options.timeout_seconds) + where};
  }
  const std::string answered = "answered in " + milliseconds(*round_trip);
  if (!before) return {true, "healthy: " + answered + "; first check, drops counted from now" + where};
  const drops_found found = drops_since(*before, now);
  if (found.datagrams > 0) return {false, "unhealthy: " + answered + ", but " + drops_text(found, snapshot.sockets.size()) + where};
  return {true, "healthy: " + answered + "; no datagrams dropped since the last check" + where};
}

}  // namespace reflector::tools
