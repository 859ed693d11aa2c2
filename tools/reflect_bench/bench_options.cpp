#include "tools/reflect_bench/bench_options.h"

#include <string>

#include "protocol/forward_target_filter.h"
#include "protocol/message_layout.h"
#include "tools/common/command_line.h"
#include "tools/common/endpoint_argument.h"
#include "tools/common/tool_errors.h"
#include "tools/reflect_bench/process_cpu.h"

namespace reflector::tools {
namespace {

const std::vector<known_option> bench_known_options{
    {"--sockets", true}, {"--window", true},     {"--rate", true},   {"--duration", true},
    {"--count", true},   {"--size", true},       {"--batch", true},  {"--drain", true},
    {"--forward", true}, {"--server-pid", true}, {"--json"},         {"--histogram"},
    {"-4"},              {"-6"}};

address_family read_family(const command_line& line) {
  if (line.has("-4") && line.has("-6")) throw usage_error("-4 and -6 exclude each other");
  if (line.has("-4")) return address_family::ipv4;
  if (line.has("-6")) return address_family::ipv6;
  return address_family::any;
}

socket_endpoint read_forward_target(const std::string& text) {
  const socket_endpoint target = resolve_endpoint(text, std::nullopt, address_family::any, "forward target");
  const wire_endpoint wire = target.wire();
  if (!forward_target_allowed(port_number(wire), wire.address)) {
    throw usage_error("the service refuses to forward to " + target.text() + " (port below " +
                      std::to_string(lowest_forward_port) +
                      ", or a loopback, private, link-local, multicast, unspecified or broadcast "
                      "address)");
  }
  return target;
}

pid_t read_server_pid(const std::string& text) {
  const auto pid = static_cast<pid_t>(parse_count(text, "--server-pid", 1, 4'194'304));
  // The run reads the process's CPU time before and after; a pid whose time
  // cannot be read now is refused here, not reported as nothing at the end.
  if (!process_cpu_seconds(pid)) {
    throw usage_error("--server-pid " + text + ": no such process on this machine");
  }
  return pid;
}

void read_sizes(const command_line& line, load_plan& plan) {
  if (const auto v = line.value("--sockets")) {
    plan.sockets = static_cast<unsigned>(parse_count(*v, "--sockets", 1, 1024));
  }
  if (const auto v = line.value("--window")) {
    plan.window = static_cast<unsigned>(parse_count(*v, "--window", 1, 4096));
  }
  if (const auto v = line.value("--batch")) {
    plan.batch = static_cast<unsigned>(parse_count(*v, "--batch", 1, 1024));
  }
  if (const auto v = line.value("--size")) {
    plan.request_size = parse_count(*v, "--size", header_size, longest_request);
  }
}

void read_limits(const command_line& line, load_plan& plan) {
  if (line.has("--rate") && line.has("--window")) {
    throw usage_error("--rate (open loop) and --window (closed loop) exclude each other");
  }
  if (const auto v = line.value("--rate")) {
    plan.rate = static_cast<double>(parse_count(*v, "--rate", 1, 10'000'000));
  }
  if (const auto v = line.value("--duration")) {
    plan.duration_seconds = parse_seconds(*v, "--duration", 0.1, 3600);
  }
  if (const auto v = line.value("--count")) {
    plan.count = parse_count(*v, "--count", 1, 10'000'000'000ULL);
  }
  if (const auto v = line.value("--drain")) {
    plan.drain_seconds = parse_seconds(*v, "--drain", 0, 10);
  }
}

}  // namespace

bench_options read_bench_options(const std::vector<std::string>& args) {
  const command_line line(args, bench_known_options);
  line.expect_positionals(1, 1, "SERVER");
  bench_options options;
  load_plan& plan = options.plan;
  read_sizes(line, plan);
  read_limits(line, plan);
  plan.server = resolve_endpoint(line.positionals()[0], service_port, read_family(line), "server");
  if (const auto v = line.value("--forward")) plan.forward_target = read_forward_target(*v);
  if (const auto v = line.value("--server-pid")) options.server_pid = read_server_pid(*v);
  options.json = line.has("--json");
  options.histogram = line.has("--histogram");
  return options;
}

}  // namespace reflector::tools
