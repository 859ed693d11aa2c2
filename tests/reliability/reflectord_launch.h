// reflectord as the reliability tests start it: the release binary, with
// any preloaded shim and environment the test asks for, inside the test's
// own network namespace.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/child_process.h"

namespace reflector::test {

struct launch_options {
  std::vector<std::string> environment = {};
};

child_process launch_reflectord(const launch_options& options = {});

// "LD_PRELOAD=<library>".
std::string preload(const std::string& library);

testing::AssertionResult exited_with(const std::optional<int>& status, int code);
testing::AssertionResult killed_by(const std::optional<int>& status, int signal_number);

// From /proc: the service's resident memory and its number of threads.
std::uint64_t resident_kib(pid_t pid);
int thread_count(pid_t pid);

// Creates a file the test removes at the end, so that a shim that waits for
// it can be let go at a moment the test chooses.
class gate_file {
 public:
  gate_file();
  ~gate_file();
  const std::string& path() const { return path_; }
  void open_gate() const;

 private:
  std::string path_;
};

}  // namespace reflector::test
