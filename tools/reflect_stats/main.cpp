// reflect-stats: the service's figures from the kernel and the fast path,
// as a table, JSON, Prometheus' format or over HTTP, and a health check.
// Every failure is one line on stderr.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "tools/common/command_line.h"
#include "tools/common/shown_argument.h"
#include "tools/common/tool_errors.h"
#include "tools/reflect_stats/health_check.h"
#include "tools/reflect_stats/metrics_server.h"
#include "tools/reflect_stats/stats_help.h"
#include "tools/reflect_stats/stats_json.h"
#include "tools/reflect_stats/stats_prometheus.h"
#include "tools/reflect_stats/stats_table.h"

namespace {

using namespace reflector::tools;

struct stats_options {
  bool json = false;
  bool prometheus = false;
  bool watch = false;
  std::optional<std::uint64_t> count;
  std::optional<std::string> listen;
  bool check = false;
  std::optional<std::string> state_file;
  std::optional<double> timeout;
  std::optional<std::uint64_t> pid;
};

// Options that only mean something beside another.
void check_companions(const stats_options& options) {
  if (options.count && !options.watch) throw usage_error("--count goes with --watch");
  if ((options.state_file || options.timeout) && !options.check) {
    throw usage_error(std::string(options.state_file ? "--state-file" : "--timeout") + " goes with --check");
  }
}

bool read_options(const std::vector<std::string>& args, stats_options& options) {
  command_line line("reflect-stats", stats_help);
  line.add_flag("--json", options.json);
  line.add_flag("--prometheus", options.prometheus);
  line.add_flag("--watch", options.watch);
  line.add_count("--count", options.count, 1, 1000000000);
  line.add_text("--listen", options.listen);
  line.add_flag("--check", options.check);
  line.add_text("--state-file", options.state_file);
  line.add_seconds("--timeout", options.timeout, 0.01, 60);
  line.add_count("--pid", options.pid, 1, 4194304);
  const char* const outputs[] = {"--json", "--prometheus", "--watch", "--listen", "--check"};
  for (std::size_t i = 0; i < std::size(outputs); ++i) {
    for (std::size_t j = i + 1; j < std::size(outputs); ++j) line.exclude(outputs[i], outputs[j]);
  }
  if (!line.parse(args)) return false;
  check_companions(options);
  return true;
}

void print(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

// A table a second, each with the rates since the one before; the screen
// is cleared between them when it is a terminal.
void watch(const snapshot_options& snapshot, std::optional<std::uint64_t> count) {
  const bool terminal = isatty(STDOUT_FILENO) == 1;
  reflector::thread_matches remembered;
  auto before = take_snapshot(snapshot, remembered);
  auto next = std::chrono::steady_clock::now();
  for (std::uint64_t shown = 0; !count || shown < *count; ++shown) {
    next += std::chrono::seconds(1);
    std::this_thread::sleep_until(next);
    const auto now = take_snapshot(snapshot, remembered);
    print((terminal ? "\033[H\033[2J" : (shown > 0 ? "\n" : "")) + stats_table(now, &before));
    before = now;
  }
}

int run(const std::vector<std::string>& args) {
  stats_options options;
  if (!read_options(args, options)) return exit_ok;
  snapshot_options snapshot;
  if (options.pid) snapshot.pid = static_cast<pid_t>(*options.pid);

  if (options.check) {
    check_options check;
    check.state_file = options.state_file.value_or("");
    check.timeout_seconds = options.timeout.value_or(1.0);
    check.snapshot = snapshot;
    const check_outcome outcome = run_check(check);
    print(outcome.line + "\n");
    return outcome.healthy ? exit_ok : exit_no_answer;
  }
  if (options.listen) {
    serve_metrics(*options.listen, snapshot);
    return exit_ok;
  }
  if (options.watch) {
    watch(snapshot, options.count);
    return exit_ok;
  }
  const auto now = take_snapshot(snapshot);
  if (options.json) {
    print(stats_json(now) + "\n");
  } else if (options.prometheus) {
    print(stats_prometheus(now));
  } else {
    print(stats_table(now));
  }
  return exit_ok;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::exception& error) {
    std::fprintf(stderr, "reflect-stats: %s\n", one_line(error.what()).c_str());
    return exit_bad_input;
  }
}
