// reflect-bench: the load generator. Reads the plan, runs it, and reports;
// failures become one line on stderr and an exit status.
#include <unistd.h>

#include <cstdio>
#include <string>
#include <system_error>
#include <vector>

#include "tools/common/tool_errors.h"
#include "tools/reflect_bench/bench_help.h"
#include "tools/reflect_bench/bench_options.h"
#include "tools/reflect_bench/bench_report.h"
#include "tools/reflect_bench/load_generator.h"
#include "tools/reflect_bench/process_cpu.h"

namespace {

using namespace reflector::tools;

bool asks_for_help(const std::vector<std::string>& args) {
  for (const auto& arg : args) {
    if (arg == "--") return false;
    if (arg == "-h" || arg == "--help") return true;
  }
  return false;
}

void show_progress(const load_progress& progress) {
  std::fprintf(stderr, "\r%s\033[K", live_line(progress).c_str());
}

int bench(const std::vector<std::string>& args) {
  const bench_options options = read_bench_options(args);
  const bool live = isatty(STDERR_FILENO) == 1;

  const auto server_before =
      options.server_pid ? process_cpu_seconds(*options.server_pid) : std::nullopt;
  const double client_before = own_cpu_seconds();
  const load_result result = run_load(options.plan, live ? show_progress : nullptr);
  const double client_cpu = own_cpu_seconds() - client_before;
  const auto server_after =
      options.server_pid ? process_cpu_seconds(*options.server_pid) : std::nullopt;
  if (live) std::fputs("\n", stderr);

  std::optional<double> server_cpu;
  if (server_before && server_after) server_cpu = *server_after - *server_before;
  const bench_summary summary{options, result, server_cpu, client_cpu};
  if (options.json) {
    std::printf("%s\n", summary_json(summary).c_str());
  } else {
    std::fputs(summary_table(summary).c_str(), stdout);
  }
  if (options.histogram) std::fputs(result.latency.draw().c_str(), options.json ? stderr : stdout);
  return result.sent == 0 ? exit_no_answer : exit_ok;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (asks_for_help(args)) {
    std::fputs(bench_help.c_str(), stdout);
    return exit_ok;
  }
  try {
    return bench(args);
  } catch (const usage_error& error) {
    std::fprintf(stderr, "reflect-bench: %s\n", error.what());
    return exit_bad_input;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "reflect-bench: %s\n", error.what());
    return exit_no_answer;
  }
}
