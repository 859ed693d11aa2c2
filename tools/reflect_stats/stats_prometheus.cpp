#include "tools/reflect_stats/stats_prometheus.h"

#include <charconv>
#include <functional>

namespace reflector::tools {
namespace {

struct sample {
  std::string labels;  // {a="x",b="y"}, or empty
  double value = 0;
};

// Label values may hold anything; the format escapes \, " and newlines.
std::string label_value(std::string_view text) {
  std::string escaped;
  for (const char c : text) {
    if (c == '\\' || c == '"') escaped += '\\';
    if (c == '\n') {
      escaped += "\\n";
      continue;
    }
    escaped += c;
  }
  return escaped;
}

std::string labels(std::initializer_list<std::pair<const char*, std::string>> pairs) {
  std::string text;
  for (const auto& [name, value] : pairs) {
    text += text.empty() ? "{" : ",";
    text += name;
    text += "=\"";
    text += label_value(value);
    text += '"';
  }
  return text.empty() ? text : text + "}";
}

// The shortest text that reads back as the same value: 0.29, not
// 0.28999999999999998.
std::string number(double value) {
  char text[64];
  const auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

// One metric family: its help, its type, its samples. A family without
// samples is left out whole.
void add_family(std::string& out, const char* name, const char* type, const char* help,
                const std::vector<sample>& samples) {
  if (samples.empty()) return;
  out += std::string("# HELP ") + name + " " + help + "\n";
  out += std::string("# TYPE ") + name + " " + type + "\n";
  for (const auto& one : samples) out += name + one.labels + " " + number(one.value) + "\n";
}

std::string worker_label(const worker_view& worker) {
  return worker.worker ? std::to_string(*worker.worker) : "thread " + std::to_string(worker.thread);
}

std::string socket_labels(const socket_view& one) {
  if (one.worker) return labels({{"socket", std::to_string(one.socket.id)}, {"worker", std::to_string(*one.worker)}});
  return labels({{"socket", std::to_string(one.socket.id)}});
}

std::vector<sample> per_socket(const service_snapshot& snapshot,
                               const std::function<std::optional<double>(const udp_port_socket&)>& figure) {
  std::vector<sample> samples;
  for (const auto& one : snapshot.sockets) {
    if (const auto value = figure(one.socket)) samples.push_back({socket_labels(one), *value});
  }
  return samples;
}

void add_service(std::string& out, const service_snapshot& snapshot) {
  add_family(out, "reflector_up", "gauge",
             "Whether a UDP socket on port 1213 belongs to root or to the user reflectord (1) or none does (0).",
             {{"", snapshot.serving ? 1.0 : 0.0}});
  add_family(out, "reflector_sockets", "gauge", "UDP sockets bound to the service's port, 1213.",
             {{"", static_cast<double>(snapshot.sockets.size())}});
  add_family(out, "reflector_socket_queued_bytes", "gauge", "Bytes waiting in a socket's receive queue.",
             per_socket(snapshot, [](const udp_port_socket& s) { return static_cast<double>(s.queued_bytes); }));
  add_family(out, "reflector_socket_receive_buffer_bytes", "gauge", "The limit of a socket's receive queue in bytes.",
             per_socket(snapshot, [](const udp_port_socket& s) { return static_cast<double>(s.receive_buffer_bytes); }));
  add_family(out, "reflector_socket_drops_total", "counter",
             "Datagrams a socket dropped because its receive queue was full.",
             per_socket(snapshot, [](const udp_port_socket& s) -> std::optional<double> {
               if (!s.drops) return std::nullopt;
               return static_cast<double>(*s.drops);
             }));
  std::vector<sample> cpu;
  for (const auto& worker : snapshot.workers) cpu.push_back({labels({{"worker", worker_label(worker)}}), worker.cpu_seconds});
  if (snapshot.pid) {
    add_family(out, "reflector_workers", "gauge", "Worker threads of the service.",
               {{"", static_cast<double>(snapshot.workers.size())}});
  }
  add_family(out, "reflector_worker_cpu_seconds_total", "counter",
             "CPU time a worker thread has used, user and system; the worker is the CPU it is pinned to.", cpu);
}

void add_udp(std::string& out, const std::vector<udp_counters>& readings) {
  struct counter {
    const char* name;
    const char* help;
    std::optional<std::uint64_t> udp_counters::*field;
  };
  static constexpr counter counters[] = {
      {"reflector_udp_in_datagrams_total", "UDP datagrams the system delivered to sockets.", &udp_counters::in_datagrams},
      {"reflector_udp_out_datagrams_total", "UDP datagrams the system sent.", &udp_counters::out_datagrams},
      {"reflector_udp_in_errors_total", "UDP datagrams the system received but did not deliver.",
       &udp_counters::in_errors},
      {"reflector_udp_receive_buffer_errors_total", "UDP datagrams the system dropped at a full receive queue.",
       &udp_counters::receive_buffer_errors},
      {"reflector_udp_send_buffer_errors_total", "UDP datagrams the system refused to send for want of buffer.",
       &udp_counters::send_buffer_errors},
      {"reflector_udp_checksum_errors_total", "UDP datagrams the system received with a bad checksum.",
       &udp_counters::checksum_errors},
      {"reflector_udp_no_port_total", "UDP datagrams the system received for a port nothing listens on.",
       &udp_counters::no_port},
      {"reflector_ip_out_no_routes_total", "IP packets of any protocol the system could not send for want of a route.",
       &udp_counters::out_no_route},
  };
  for (const auto& one : counters) {
    std::vector<sample> samples;
    for (const auto& reading : readings) {
      if (const auto value = reading.*one.field) {
        samples.push_back({labels({{"family", reading.family}}), static_cast<double>(*value)});
      }
    }
    add_family(out, one.name, "counter", one.help, samples);
  }
}

void add_fast_path(std::string& out, const fast_path_state& state) {
  std::vector<sample> attached;
  std::vector<sample> packets;
  for (const auto& view : state.attachments) {
    attached.push_back({labels({{"interface", view.interface}, {"mode", view.mode}}), view.attached ? 1.0 : 0.0});
    for (const auto& count : view.counts) {
      packets.push_back({labels({{"interface", view.interface}, {"reason", count.reason}, {"family", count.family}}),
                         static_cast<double>(count.packets)});
    }
  }
  add_family(out, "reflector_fast_path_attached", "gauge",
             "Whether the XDP fast path is attached to the interface (1) or pinned with the interface gone (0).",
             attached);
  add_family(out, "reflector_fast_path_packets_total", "counter",
             "Frames the XDP fast path judged, by verdict reason and address family.", packets);
}

}  // namespace

std::string stats_prometheus(const service_snapshot& snapshot) {
  std::string out;
  add_service(out, snapshot);
  add_udp(out, snapshot.udp);
  add_fast_path(out, snapshot.fast_path);
  return out;
}

}  // namespace reflector::tools
