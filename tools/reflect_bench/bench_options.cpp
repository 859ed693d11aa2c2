#include "tools/reflect_bench/bench_options.h"

#include <string>

#include "protocol/message_layout.h"
#include "tools/common/command_line.h"
#include "tools/common/endpoint_argument.h"
#include "tools/common/forward_refusal_text.h"
#include "tools/common/tool_errors.h"
#include "tools/reflect_bench/bench_help.h"
#include "tools/reflect_bench/process_cpu.h"

namespace reflector::tools {
namespace {

// What the command line holds before it is resolved and checked.
struct bench_arguments {
  std::string server;
  address_family family = address_family::any;
  std::optional<std::uint64_t> rate;
  std::optional<std::uint64_t> request_size;
  std::optional<std::string> forward_target;
  std::optional<std::uint64_t> server_pid;
};

void add_sizes(command_line& line, load_plan& plan, bench_arguments& given) {
  line.add_count("--sockets", plan.sockets, 1, 1024);
  line.add_count("--window", plan.window, 1, 4096);
  line.add_count("--batch", plan.batch, 1, 1024);
  line.add_count("--size", given.request_size, header_size, longest_request);
}

void add_limits(command_line& line, load_plan& plan, bench_arguments& given) {
  line.add_count("--rate", given.rate, 1, 10'000'000);
  line.add_seconds("--duration", plan.duration_seconds, 0.1, 3600);
  line.add_count("--count", plan.count, 1, 10'000'000'000ULL);
  line.add_seconds("--drain", plan.drain_seconds, 0, 10);
  // Open loop sets the pace; closed loop lets replies set it.
  line.exclude("--rate", "--window");
}

socket_endpoint read_forward_target(const std::string& text) {
  const socket_endpoint target =
      resolve_endpoint(text, std::nullopt, address_family::any, "forward target");
  if (const auto refusal = forward_refusal_message(target)) throw usage_error(*refusal);
  return target;
}

pid_t read_server_pid(std::uint64_t number) {
  const auto pid = static_cast<pid_t>(number);
  // The run reads the process's CPU time before and after; a pid whose time
  // cannot be read now is refused here, not reported as nothing at the end.
  if (!process_cpu_seconds(pid)) {
    throw usage_error("--server-pid " + std::to_string(number) + ": no such process on this machine");
  }
  return pid;
}

}  // namespace

std::optional<bench_options> read_bench_options(const std::vector<std::string>& args) {
  bench_options options;
  bench_arguments given;
  command_line line("reflect-bench", bench_help);
  add_sizes(line, options.plan, given);
  add_limits(line, options.plan, given);
  line.add_text("--forward", given.forward_target);
  line.add_count("--server-pid", given.server_pid, 1, 4'194'304);
  line.add_flag("--json", options.json);
  line.add_flag("--histogram", options.histogram);
  line.add_family(given.family);
  line.add_positional("SERVER", given.server);
  if (!line.parse(args)) return std::nullopt;

  load_plan& plan = options.plan;
  if (given.rate) plan.rate = static_cast<double>(*given.rate);
  if (given.request_size) plan.request_size = *given.request_size;
  plan.server = resolve_endpoint(given.server, service_port, given.family, "server");
  if (given.forward_target) plan.forward_target = read_forward_target(*given.forward_target);
  if (given.server_pid) options.server_pid = read_server_pid(*given.server_pid);
  return options;
}

}  // namespace reflector::tools
