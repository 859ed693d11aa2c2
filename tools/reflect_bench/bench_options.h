// reflect-bench's command line: the load plan plus what to report.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "tools/reflect_bench/load_plan.h"

namespace reflector::tools {

struct bench_options {
  load_plan plan;
  std::optional<pid_t> server_pid;
  bool json = false;
  bool histogram = false;
};

// nullopt when args asked for help or the version, which is then printed.
// Throws usage_error for bad input, naming the argument.
std::optional<bench_options> read_bench_options(const std::vector<std::string>& args);

}  // namespace reflector::tools
