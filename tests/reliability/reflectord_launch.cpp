#include "tests/reliability/reflectord_launch.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace reflector::test {

child_process launch_reflectord(const launch_options& options) {
  return child_process::start(REFLECTORD_PATH, {}, options.environment, [] {
    const int null_fd = open("/dev/null", O_RDONLY);
    dup2(null_fd, 0);
    close(null_fd);
  });
}

std::string preload(const std::string& library) { return "LD_PRELOAD=" + library; }

testing::AssertionResult exited_with(const std::optional<int>& status, int code) {
  if (!status) return testing::AssertionFailure() << "still running";
  if (WIFEXITED(*status) && WEXITSTATUS(*status) == code) return testing::AssertionSuccess();
  return testing::AssertionFailure() << describe_status(*status) << ", expected exit " << code;
}

testing::AssertionResult killed_by(const std::optional<int>& status, int signal_number) {
  if (!status) return testing::AssertionFailure() << "still running";
  if (WIFSIGNALED(*status) && WTERMSIG(*status) == signal_number) return testing::AssertionSuccess();
  return testing::AssertionFailure() << describe_status(*status) << ", expected signal " << signal_number;
}

std::uint64_t resident_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmRSS:")) return std::stoull(line.substr(6));
  }
  return 0;
}

int thread_count(pid_t pid) {
  const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
  std::error_code error;
  int count = 0;
  for (auto it = std::filesystem::directory_iterator(tasks, error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    ++count;
  }
  return count;
}

gate_file::gate_file()
    : path_(std::filesystem::temp_directory_path() / ("reflector-gate-" + std::to_string(getpid()))) {
  std::filesystem::remove(path_);
}

gate_file::~gate_file() { std::filesystem::remove(path_); }

void gate_file::open_gate() const { std::ofstream(path_).put('1'); }

}  // namespace reflector::test
