// How reflect-bench shows a run: the live line, the summary table, the JSON.
#pragma once

#include <optional>
#include <string>

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

}  // namespace reflector::tools
