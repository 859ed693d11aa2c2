// How reflect-bench shows a run: the live line, the summary table, the JSON,
// and what the run's end means for the exit status.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tools/reflect_bench/bench_options.h"
#include "tools/reflect_bench/load_generator.h"
#include "tools/reflect_bench/load_result.h"

namespace reflector::tools {

struct bench_summary {
  const bench_options& options;
  const load_result& result;
  std::optional<double> server_cpu_seconds;  // during the run, with --server-pid
  double client_cpu_seconds = 0;             // this tool's own, during the run
};

std::string live_line(const load_progress& progress);
std::string summary_table(const bench_summary& summary);
std::string summary_json(const bench_summary& summary);

// reflect-bench's own exit status beside the tools' shared ones: the run
// went through, but replies came back that were not the right answers.
inline constexpr int exit_mismatched = 3;

// The exit status a finished run earns, and what to tell the user about it on
// stderr, one line each. Any mismatch gives exit_mismatched; else nothing
// answered gives exit_no_answer; duplicates only earn a warning. A stop
// signal makes the status 128 + its number, whatever else holds.
struct run_verdict {
  int status = 0;
  std::vector<std::string> messages;
};
run_verdict judge_run(const load_result& result, const std::string& server);

}  // namespace reflector::tools
