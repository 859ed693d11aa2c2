#include "tools/reflect_stats/stats_table.h"

#include <cstdio>
#include <map>
#include <set>

#include "tools/reflect_stats/text_columns.h"

namespace reflector::tools {
namespace {

std::string whole(std::uint64_t value) { return std::to_string(value); }

std::string decimal(double value, int places) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", places, value);
  return text;
}

std::string maybe(const std::optional<std::uint64_t>& value) { return value ? whole(*value) : "n/a"; }

// Per-second change between two readings of a counter; "n/a" when either
// is missing, and "-" with nothing before.
class rates {
 public:
  rates(const service_snapshot& now, const service_snapshot* before)
      : elapsed_(before ? now.taken_at - before->taken_at : 0) {}
  bool shown() const { return elapsed_ > 0; }
  std::string of(std::optional<double> now, std::optional<double> before, int places = 0) const {
    if (!now || !before) return "n/a";
    return decimal((*now - *before) / elapsed_, places);
  }

 private:
  double elapsed_;
};

std::optional<double> as_double(const std::optional<std::uint64_t>& value) {
  if (!value) return std::nullopt;
  return static_cast<double>(*value);
}

const socket_view* socket_of(const service_snapshot& snapshot, std::uint64_t id) {
  for (const auto& one : snapshot.sockets) {
    if (one.socket.id == id) return &one;
  }
  return nullptr;
}

const worker_view* worker_of(const service_snapshot& snapshot, pid_t thread) {
  for (const auto& one : snapshot.workers) {
    if (one.thread == thread) return &one;
  }
  return nullptr;
}

std::string heading(const service_snapshot& now) {
  std::string text = std::string(service_name) + ": ";
  if (now.pid) {
    text += "pid " + std::to_string(*now.pid) + " (found by " + now.pid_found_by + "), " +
            std::to_string(now.workers.size()) + " workers";
  } else {
    text += "not found";
  }
  return text + ", " + std::to_string(now.sockets.size()) + " sockets on UDP port " + std::to_string(service_port) +
         "\n";
}

// One row per worker with the socket it serves, then sockets no worker
// could be matched with, then the totals.
std::string worker_rows(const service_snapshot& now, const service_snapshot* before, const rates& rate) {
  text_columns table;
  std::vector<std::string> head = {"worker", "thread", "cpu s"};
  if (rate.shown()) head.push_back("cpu %");
  for (const char* name : {"socket", "queued B", "rcvbuf B", "drops"}) head.push_back(name);
  if (rate.shown()) head.push_back("drops/s");
  table.add_row(head);

  auto socket_cells = [&](std::vector<std::string>& row, const socket_view* socket) {
    if (!socket) {
      for (int i = 0; i < (rate.shown() ? 5 : 4); ++i) row.push_back("-");
      return;
    }
    const socket_view* earlier = before ? socket_of(*before, socket->socket.id) : nullptr;
    row.push_back(whole(socket->socket.id));
    row.push_back(whole(socket->socket.queued_bytes));
    row.push_back(whole(socket->socket.receive_buffer_bytes));
    row.push_back(maybe(socket->socket.drops));
    if (rate.shown()) {
      row.push_back(rate.of(as_double(socket->socket.drops), earlier ? as_double(earlier->socket.drops) : std::nullopt));
    }
  };

  std::set<std::uint64_t> shown_sockets;
  for (const auto& worker : now.workers) {
    std::vector<std::string> row = {worker.worker ? std::to_string(*worker.worker) : "-",
                                    std::to_string(worker.thread), decimal(worker.cpu_seconds, 2)};
    if (rate.shown()) {
      const worker_view* earlier = before ? worker_of(*before, worker.thread) : nullptr;
      row.push_back(rate.of(worker.cpu_seconds * 100, earlier ? std::optional(earlier->cpu_seconds * 100) : std::nullopt, 1));
    }
    const socket_view* socket = nullptr;
    for (const auto& one : now.sockets) {
      if (one.thread && *one.thread == worker.thread) socket = &one;
    }
    if (socket) shown_sockets.insert(socket->socket.id);
    socket_cells(row, socket);
    table.add_row(row);
  }
  for (const auto& one : now.sockets) {
    if (shown_sockets.contains(one.socket.id)) continue;
    std::vector<std::string> row = {"-", one.thread ? std::to_string(*one.thread) : "-", "-"};
    if (rate.shown()) row.push_back("-");
    socket_cells(row, &one);
    table.add_row(row);
  }

  const auto totals = total_over(now.sockets);
  double cpu = 0;
  for (const auto& worker : now.workers) cpu += worker.cpu_seconds;
  std::vector<std::string> row = {"total", "", decimal(cpu, 2)};
  if (rate.shown()) {
    double cpu_before = 0;
    for (const auto& worker : before->workers) cpu_before += worker.cpu_seconds;
    row.push_back(rate.of(cpu * 100, cpu_before * 100, 1));
  }
  row.push_back(std::to_string(now.sockets.size()));
  row.push_back(whole(totals.queued_bytes));
  row.push_back(whole(totals.receive_buffer_bytes));
  row.push_back(maybe(totals.drops));
  if (rate.shown()) row.push_back(rate.of(as_double(totals.drops), as_double(total_over(before->sockets).drops)));
  table.add_row(row);
  return table.text();
}

std::string udp_rows(const service_snapshot& now, const service_snapshot* before, const rates& rate) {
  if (now.udp.empty()) return "";
  text_columns table;
  std::vector<std::string> head = {rate.shown() ? "system UDP, per second" : "system UDP"};
  for (const auto& one : now.udp) head.push_back(one.family);
  table.add_row(head);
  struct counter {
    const char* name;
    std::optional<std::uint64_t> udp_counters::*field;
  };
  static constexpr counter counters[] = {
      {"in datagrams", &udp_counters::in_datagrams},
      {"out datagrams", &udp_counters::out_datagrams},
      {"in errors", &udp_counters::in_errors},
      {"receive-buffer errors", &udp_counters::receive_buffer_errors},
      {"send-buffer errors", &udp_counters::send_buffer_errors},
      {"checksum errors", &udp_counters::checksum_errors},
      {"no port", &udp_counters::no_port},
      {"out no route (IP)", &udp_counters::out_no_route},
  };
  for (const auto& one : counters) {
    std::vector<std::string> row = {one.name};
    for (std::size_t i = 0; i < now.udp.size(); ++i) {
      const auto& value = now.udp[i].*one.field;
      if (!rate.shown()) {
        row.push_back(maybe(value));
        continue;
      }
      const bool comparable = i < before->udp.size() && before->udp[i].family == now.udp[i].family;
      row.push_back(rate.of(as_double(value), comparable ? as_double(before->udp[i].*one.field) : std::nullopt));
    }
    table.add_row(row);
  }
  std::string out = "\n";
  out += table.text();
  return out;
}

// Per interface: a row per reason that counted anything (answered always),
// a column per family and the total.
std::string fast_path_rows(const service_snapshot& now, const service_snapshot* before, const rates& rate) {
  const auto& state = now.fast_path;
  if (!state.built) return "";
  if (state.attachments.empty()) return state.unreadable.empty() ? "\nfast path: not attached\n" : "";
  std::string out;
  for (const auto& view : state.attachments) {
    const fast_path_view* earlier = nullptr;
    if (before) {
      for (const auto& one : before->fast_path.attachments) {
        if (one.interface == view.interface) earlier = &one;
      }
    }
    text_columns table;
    std::string title = "fast path on " + view.interface + " (" + view.mode + (view.attached ? "" : ", interface gone") + ")";
    if (rate.shown()) title += ", per second";
    table.add_row({title, "ipv4", "ipv6", "other", "total"});
    std::vector<std::string> reasons;
    std::map<std::string, std::map<std::string, double>> now_counts;
    std::map<std::string, std::map<std::string, double>> before_counts;
    for (const auto& count : view.counts) {
      if (!now_counts.contains(count.reason)) reasons.push_back(count.reason);
      now_counts[count.reason][count.family] = static_cast<double>(count.packets);
      now_counts[count.reason]["total"] += static_cast<double>(count.packets);
    }
    if (earlier) {
      for (const auto& count : earlier->counts) {
        before_counts[count.reason][count.family] = static_cast<double>(count.packets);
        before_counts[count.reason]["total"] += static_cast<double>(count.packets);
      }
    }
    for (const auto& reason : reasons) {
      auto& counts = now_counts[reason];
      if (reason != "answered" && counts["total"] == 0) continue;
      std::vector<std::string> row = {reason};
      for (const char* family : {"ipv4", "ipv6", "other", "total"}) {
        if (!rate.shown()) {
          row.push_back(decimal(counts[family], 0));
        } else {
          row.push_back(rate.of(counts[family], earlier ? std::optional(before_counts[reason][family]) : std::nullopt));
        }
      }
      table.add_row(row);
    }
    out += "\n";
    out += table.text();
  }
  return out;
}

std::string note_lines(const service_snapshot& now) {
  std::string out;
  if (!now.notes.empty()) out += "\n";
  for (const auto& note : now.notes) out += "note: " + note + "\n";
  return out;
}

}  // namespace

std::string stats_table(const service_snapshot& now, const service_snapshot* before) {
  const rates rate(now, before);
  return heading(now) + "\n" + worker_rows(now, before, rate) + udp_rows(now, before, rate) +
         fast_path_rows(now, before, rate) + note_lines(now);
}

}  // namespace reflector::tools
