#include "tools/reflect_stats/take_snapshot.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <map>
#include <set>

#include "platform/process_threads.h"
#include "tools/reflect_stats/fast_path_reading.h"
#include "tools/reflect_stats/service_users.h"

namespace reflector::tools {
namespace {

double monotonic_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void read_sockets(service_snapshot& snapshot, thread_matches& remembered) {
  std::vector<udp_port_socket> sockets;
  try {
    sockets = udp_sockets_on_port(service_port);
  } catch (const std::exception& error) {
    snapshot.notes.push_back(std::string("sockets unreadable: ") + error.what());
    return;
  }
  std::vector<std::uint64_t> ids;
  for (const auto& one : sockets) ids.push_back(one.id);
  const auto owners = socket_owners(ids, remembered);
  for (auto& one : sockets) {
    socket_view view{std::move(one), std::nullopt, std::nullopt, std::nullopt};
    if (const auto owner = owners.find(view.socket.id); owner != owners.end()) {
      view.pid = owner->second.pid;
      view.thread = owner->second.thread;
    }
    snapshot.sockets.push_back(std::move(view));
  }
}

// The process that holds most of the port's sockets.
std::optional<pid_t> socket_holder(const std::vector<socket_view>& sockets) {
  std::map<pid_t, int> held;
  for (const auto& one : sockets) {
    if (one.pid) ++held[*one.pid];
  }
  const auto most = std::max_element(held.begin(), held.end(),
                                     [](const auto& a, const auto& b) { return a.second < b.second; });
  if (most == held.end()) return std::nullopt;
  return most->first;
}

// Up: a socket on the port belongs to a user the service runs as.
bool service_holds_port(const std::vector<socket_view>& sockets, const std::vector<uid_t>& users) {
  return std::any_of(sockets.begin(), sockets.end(), [&](const socket_view& one) {
    return std::find(users.begin(), users.end(), static_cast<uid_t>(one.socket.uid)) != users.end();
  });
}

void find_service(service_snapshot& snapshot, const snapshot_options& options) {
  const std::vector<uid_t> users = service_users();
  snapshot.serving = service_holds_port(snapshot.sockets, users);
  if (options.pid) {
    snapshot.pid = options.pid;
    snapshot.pid_found_by = "--pid";
  } else if (const auto holder = socket_holder(snapshot.sockets)) {
    snapshot.pid = holder;
    snapshot.pid_found_by = "its sockets";
  } else if (const auto named = processes_named(service_name, users); named.size() == 1) {
    snapshot.pid = named.front();
    snapshot.pid_found_by = "its name";
  } else if (named.size() > 1) {
    snapshot.notes.push_back(std::to_string(named.size()) + " processes are named " + service_name +
                             " and their sockets' owners are not visible: name one with --pid");
  } else {
    snapshot.notes.push_back(std::string("no process named ") + service_name + " is running as root or as " +
                             service_user);
  }
}

// The worker threads: those of the service's threads, the main one apart,
// that serve a socket on the port or are pinned to one CPU, as every worker
// is. Threads a runtime adds (a sanitizer's, say) are neither.
void read_workers(service_snapshot& snapshot) {
  if (!snapshot.pid) return;
  const auto threads = process_threads(*snapshot.pid);
  if (!threads) {
    snapshot.notes.push_back("process " + std::to_string(*snapshot.pid) + " is not running or not visible");
    return;
  }
  std::set<pid_t> serving;
  for (const auto& one : snapshot.sockets) {
    if (one.thread) serving.insert(*one.thread);
  }
  // The main thread comes first (its id is the process's on Linux alone).
  for (std::size_t i = 1; i < threads->size(); ++i) {
    const auto& thread = (*threads)[i];
    if (!thread.pinned_cpu && !serving.contains(thread.thread)) continue;
    snapshot.workers.push_back({thread.thread, thread.pinned_cpu, thread.cpu_seconds});
  }
}

void name_socket_workers(service_snapshot& snapshot) {
  for (auto& one : snapshot.sockets) {
    if (!one.thread) continue;
    for (const auto& worker : snapshot.workers) {
      if (worker.thread == *one.thread) one.worker = worker.worker;
    }
  }
}

void note_what_is_unseen(service_snapshot& snapshot) {
  const auto& sockets = snapshot.sockets;
  if (std::any_of(sockets.begin(), sockets.end(), [](const auto& one) { return !one.socket.drops; })) {
    snapshot.notes.push_back(
        "per-socket drops are not counted on this system: see the system's receive-buffer errors");
  }
  if (std::any_of(sockets.begin(), sockets.end(), [](const auto& one) { return !one.pid; })) {
    snapshot.notes.push_back("the owners of some sockets are not visible to this user");
  } else if (std::any_of(sockets.begin(), sockets.end(), [](const auto& one) { return !one.worker; })) {
    snapshot.notes.push_back("the workers serving some sockets could not be told");
  }
}

void read_udp_counters(service_snapshot& snapshot) {
  try {
    snapshot.udp = system_udp_counters();
  } catch (const std::exception& error) {
    snapshot.notes.push_back(std::string("system UDP counters unreadable: ") + error.what());
  }
}

}  // namespace

service_snapshot take_snapshot(const snapshot_options& options) {
  thread_matches none;
  return take_snapshot(options, none);
}

service_snapshot take_snapshot(const snapshot_options& options, thread_matches& remembered) {
  service_snapshot snapshot;
  snapshot.taken_at = monotonic_seconds();
  read_sockets(snapshot, remembered);
  find_service(snapshot, options);
  read_workers(snapshot);
  name_socket_workers(snapshot);
  note_what_is_unseen(snapshot);
  read_udp_counters(snapshot);
  snapshot.fast_path = read_fast_path();
  if (!snapshot.fast_path.unreadable.empty()) {
    snapshot.notes.push_back("fast path unreadable: " + snapshot.fast_path.unreadable);
  }
  return snapshot;
}

}  // namespace reflector::tools
