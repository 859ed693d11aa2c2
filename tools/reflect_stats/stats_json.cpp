#include "tools/reflect_stats/stats_json.h"

#include <sys/socket.h>

#include <map>

#include "tools/common/json_object.h"

namespace reflector::tools {
namespace {

std::string json_array(const std::vector<std::string>& members) {
  std::string text = "[";
  for (const auto& member : members) {
    if (text.size() > 1) text += ',';
    text += member;
  }
  return text + "]";
}

template <typename Number>
void add_optional(json_object& object, std::string_view key, const std::optional<Number>& value) {
  if (value) {
    object.add_integer(key, static_cast<std::uint64_t>(*value));
  } else {
    object.add_null(key);
  }
}

std::string family_name(int family) { return family == AF_INET6 ? "ipv6" : "ipv4"; }

std::string socket_json(const socket_view& one) {
  json_object object;
  object.add_integer("id", one.socket.id)
      .add_string("family", family_name(one.socket.family))
      .add_string("local_address", one.socket.local_address)
      .add_integer("uid", one.socket.uid);
  add_optional(object, "pid", one.pid);
  add_optional(object, "thread", one.thread);
  add_optional(object, "worker", one.worker);
  object.add_integer("queued_bytes", one.socket.queued_bytes)
      .add_integer("receive_buffer_bytes", one.socket.receive_buffer_bytes);
  add_optional(object, "drops", one.socket.drops);
  return object.text();
}

std::string totals_json(const std::vector<socket_view>& sockets) {
  const auto totals = total_over(sockets);
  json_object object;
  object.add_integer("sockets", sockets.size())
      .add_integer("queued_bytes", totals.queued_bytes)
      .add_integer("receive_buffer_bytes", totals.receive_buffer_bytes);
  add_optional(object, "drops", totals.drops);
  return object.text();
}

std::string worker_json(const worker_view& worker) {
  json_object object;
  add_optional(object, "worker", worker.worker);
  object.add_integer("thread", static_cast<std::uint64_t>(worker.thread)).add_number("cpu_seconds", worker.cpu_seconds);
  return object.text();
}

std::string udp_json(const std::vector<udp_counters>& readings) {
  json_object families;
  for (const auto& one : readings) {
    json_object object;
    add_optional(object, "in_datagrams", one.in_datagrams);
    add_optional(object, "out_datagrams", one.out_datagrams);
    add_optional(object, "in_errors", one.in_errors);
    add_optional(object, "receive_buffer_errors", one.receive_buffer_errors);
    add_optional(object, "send_buffer_errors", one.send_buffer_errors);
    add_optional(object, "checksum_errors", one.checksum_errors);
    add_optional(object, "no_port", one.no_port);
    add_optional(object, "out_no_route", one.out_no_route);
    families.add_raw(one.family, object.text());
  }
  return families.text();
}

// {"answered":{"ipv4":N,"ipv6":N,"other":N},...}, reasons in counter order.
std::string packets_json(const fast_path_view& view) {
  std::vector<std::string> order;
  std::map<std::string, json_object> reasons;
  for (const auto& count : view.counts) {
    if (!reasons.contains(count.reason)) order.push_back(count.reason);
    reasons[count.reason].add_integer(count.family, count.packets);
  }
  json_object object;
  for (const auto& reason : order) object.add_raw(reason, reasons[reason].text());
  return object.text();
}

std::string fast_path_json(const fast_path_state& state) {
  std::vector<std::string> attachments;
  for (const auto& view : state.attachments) {
    attachments.push_back(json_object()
                              .add_string("interface", view.interface)
                              .add_bool("attached", view.attached)
                              .add_string("mode", view.mode)
                              .add_raw("packets", packets_json(view))
                              .text());
  }
  json_object object;
  object.add_bool("built", state.built);
  if (state.unreadable.empty()) {
    object.add_null("unreadable");
  } else {
    object.add_string("unreadable", state.unreadable);
  }
  return object.add_raw("attachments", json_array(attachments)).text();
}

}  // namespace

std::string stats_json(const service_snapshot& snapshot) {
  std::vector<std::string> sockets;
  for (const auto& one : snapshot.sockets) sockets.push_back(socket_json(one));
  std::vector<std::string> workers;
  for (const auto& one : snapshot.workers) workers.push_back(worker_json(one));
  std::vector<std::string> notes;
  for (const auto& note : snapshot.notes) notes.push_back(json_quoted(note));

  json_object object;
  object.add_integer("port", service_port);
  add_optional(object, "pid", snapshot.pid);
  if (snapshot.pid) {
    object.add_string("pid_found_by", snapshot.pid_found_by);
  } else {
    object.add_null("pid_found_by");
  }
  return object.add_raw("sockets", json_array(sockets))
      .add_raw("totals", totals_json(snapshot.sockets))
      .add_raw("workers", json_array(workers))
      .add_raw("udp", udp_json(snapshot.udp))
      .add_raw("fast_path", fast_path_json(snapshot.fast_path))
      .add_raw("notes", json_array(notes))
      .text();
}

}  // namespace reflector::tools
