// One reading of everything reflect-stats reports: the service's sockets on
// its port, its worker threads, the system's UDP counters and the fast
// path's counters, as plain values, so that every output format can be
// built (and tested) from a reading without a kernel.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/udp_counters.h"
#include "protocol/message_layout.h"
#include "platform/udp_port_sockets.h"

namespace reflector::tools {

inline constexpr const char* service_name = "reflectord";

struct socket_view {
  udp_port_socket socket;
  std::optional<pid_t> pid;     // the process holding it, when visible
  std::optional<pid_t> thread;  // the thread serving it, when visible
  std::optional<int> worker;    // that thread's worker: the CPU it is pinned to
};

struct worker_view {
  pid_t thread = 0;
  std::optional<int> worker;  // the CPU it is pinned to; nullopt if not pinned to one
  double cpu_seconds = 0;
};

struct fast_path_count {
  std::string reason;  // "answered", "passed_forward", ...
  std::string family;  // "ipv4", "ipv6", "other"
  std::uint64_t packets = 0;
};

struct fast_path_view {
  std::string interface;
  bool attached = false;  // false: still pinned, but the interface has gone
  std::string mode;       // "native" or "generic"
  std::vector<fast_path_count> counts;  // every reason and family
};

struct fast_path_state {
  bool built = false;       // this build has the fast path at all
  std::string unreadable;   // why its pins could not be read; empty when they could
  std::vector<fast_path_view> attachments;  // empty: not attached anywhere
};

struct service_snapshot {
  double taken_at = 0;  // seconds on a monotonic clock
  std::optional<pid_t> pid;
  std::string pid_found_by;  // "its sockets", "its name", "--pid"
  // A socket on the port belongs to root or to the service's user: what
  // no process of another user can make so, or keep from being so.
  bool serving = false;
  std::vector<socket_view> sockets;
  std::vector<worker_view> workers;
  std::vector<udp_counters> udp;
  fast_path_state fast_path;
  // What could not be read, or is not counted on this system, in one line
  // each, for every output format to carry.
  std::vector<std::string> notes;
};

// Sums over the sockets; drops is nullopt if any socket's drops are unknown.
struct socket_totals {
  std::uint64_t queued_bytes = 0;
  std::uint64_t receive_buffer_bytes = 0;
  std::optional<std::uint64_t> drops;
};
socket_totals total_over(const std::vector<socket_view>& sockets);

// The fast path's answered and passed packets over every attachment: what
// an operator looks at first.
std::uint64_t fast_path_packets(const fast_path_state& state, std::string_view reason_prefix);

}  // namespace reflector::tools
