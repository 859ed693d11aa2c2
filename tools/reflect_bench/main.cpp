// reflect-bench: the load generator. Reads the plan, runs it, and reports;
// failures become one line on stderr and an exit status.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <system_error>
#include <vector>

#include "tools/common/shown_argument.h"
#include "tools/common/tool_errors.h"
#include "tools/reflect_bench/bench_options.h"
#include "tools/reflect_bench/bench_report.h"
#include "tools/reflect_bench/load_generator.h"
#include "tools/reflect_bench/process_cpu.h"

namespace {

using namespace reflector::tools;

void show_progress(const load_progress& progress) {
  std::fprintf(stderr, "\r%s\033[K", live_line(progress).c_str());
}

// The number of the signal that asked the run to stop; 0 until one does.
stop_signal stop_requested = 0;

// The first stop signal is noted for the load loop; a second one, of either
// kind, ends the tool at once by that signal's default action.
void on_stop_signal(int signal_number) {
  if (stop_requested != 0) {
    signal(signal_number, SIG_DFL);
    raise(signal_number);
    return;
  }
  stop_requested = signal_number;
}

// SIGINT and SIGTERM end the sending early and the summary of what ran is
// still printed. Without SA_RESTART a wait in the load loop ends at the
// signal. A signal the caller ignores (a background job's SIGINT) stays
// ignored.
void catch_stop_signals() {
  for (const int signal_number : {SIGINT, SIGTERM}) {
    struct sigaction current{};
    if (sigaction(signal_number, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
    struct sigaction action{};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(signal_number, &action, nullptr);
  }
}

void print_summary(const bench_summary& summary) {
  if (summary.options.json) {
    std::printf("%s\n", summary_json(summary).c_str());
  } else {
    std::fputs(summary_table(summary).c_str(), stdout);
  }
  if (summary.options.histogram) {
    std::fputs(summary.result.latency.draw().c_str(), summary.options.json ? stderr : stdout);
  }
}

int bench(const std::vector<std::string>& args) {
  const std::optional<bench_options> read = read_bench_options(args);
  if (!read) return exit_ok;  // help or the version, already printed
  const bench_options& options = *read;
  const bool live = isatty(STDERR_FILENO) == 1;
  catch_stop_signals();

  const auto server_before =
      options.server_pid ? process_cpu_seconds(*options.server_pid) : std::nullopt;
  const double client_before = own_cpu_seconds();
  const load_result result =
      run_load(options.plan, live ? show_progress : nullptr, stop_requested);
  const double client_cpu = own_cpu_seconds() - client_before;
  const auto server_after =
      options.server_pid ? process_cpu_seconds(*options.server_pid) : std::nullopt;
  if (live) std::fputs("\n", stderr);

  std::optional<double> server_cpu;
  if (server_before && server_after) server_cpu = *server_after - *server_before;
  print_summary({options, result, server_cpu, client_cpu});
  std::fflush(stdout);
  const run_verdict verdict = judge_run(result, options.plan.server.text());
  for (const auto& message : verdict.messages) {
    std::fprintf(stderr, "reflect-bench: %s\n", message.c_str());
  }
  return verdict.status;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  try {
    return bench(args);
  } catch (const usage_error& error) {
    std::fprintf(stderr, "reflect-bench: %s\n", one_line(error.what()).c_str());
    return exit_bad_input;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "reflect-bench: %s\n", one_line(error.what()).c_str());
    return exit_no_answer;
  }
}
