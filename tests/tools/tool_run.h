// Running the tools as a user would, with stdout and stderr caught, each run
// bounded in time: a tool that hangs is killed and reported as such.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace reflector::test {

struct tool_result {
  std::optional<int> status;  // raw wait status; empty when the run was killed
  std::string out;
  std::string err;

  bool exited_with(int code) const;
  std::string describe() const;  // for failure messages
};

// A tool started in the background, in the calling thread's network
// namespace, with its output going to files and no environment but the
// test's sanitizer_settings().
class tool_run {
 public:
  tool_run(const std::string& path, const std::vector<std::string>& args);
  tool_run(const tool_run&) = delete;
  tool_run& operator=(const tool_run&) = delete;

  pid_t pid() const { return process_->pid(); }
  // Waits for the end; past the timeout the tool is killed.
  tool_result finish(std::chrono::milliseconds timeout = std::chrono::seconds(20));

 private:
  output_file out_;
  output_file err_;
  std::optional<child_process> process_;  // declared last: ended before the files close
};

tool_result run_tool(const std::string& path, const std::vector<std::string>& args,
                     std::chrono::milliseconds timeout = std::chrono::seconds(20));

// The tool run as nobody (uid and gid 65534, no supplementary groups,
// hence no capabilities), from a copy in a fresh directory under /tmp that
// nobody may execute wherever the build tree lies; the copy goes after.
tool_result run_tool_as_nobody(const std::string& path, const std::vector<std::string>& args,
                               std::chrono::milliseconds timeout = std::chrono::seconds(20));

// The same, holding these capabilities (CAP_* numbers) and no others, as a
// unit's AmbientCapabilities= grants them to a user of its own.
tool_result run_tool_as_nobody_with(const std::string& path, const std::vector<std::string>& args,
                                    const std::vector<int>& capabilities,
                                    std::chrono::milliseconds timeout = std::chrono::seconds(20));

// True once nothing can bind address:port, that is, once a tool listens there.
bool wait_until_port_taken(const std::string& address, std::uint16_t port);

}  // namespace reflector::test
