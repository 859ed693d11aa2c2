#include "tests/tools/tool_run.h"

#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

namespace reflector::test {
namespace {

std::string read_all(std::FILE* file) {
  std::fflush(file);
  std::rewind(file);
  std::string text;
  char buffer[4096];
  while (const std::size_t got = std::fread(buffer, 1, sizeof buffer, file)) text.append(buffer, got);
  return text;
}

}  // namespace

bool tool_result::exited_with(int code) const {
  return status && WIFEXITED(*status) && WEXITSTATUS(*status) == code;
}

std::string tool_result::describe() const {
  return (status ? describe_status(*status) : std::string("killed after the timeout")) +
         "\nstdout: " + out + "\nstderr: " + err;
}

tool_run::tool_run(const std::string& path, const std::vector<std::string>& args)
    : out_(std::tmpfile()), err_(std::tmpfile()) {
  if (out_ == nullptr || err_ == nullptr) throw std::runtime_error("tmpfile failed");
  const int out_fd = fileno(out_);
  const int err_fd = fileno(err_);
  process_.emplace(child_process::start(path, args, {}, [out_fd, err_fd] {
    dup2(out_fd, STDOUT_FILENO);
    dup2(err_fd, STDERR_FILENO);
  }));
}

tool_run::~tool_run() {
  process_.reset();  // kills and reaps a tool still running
  std::fclose(out_);
  std::fclose(err_);
}

tool_result tool_run::finish(std::chrono::milliseconds timeout) {
  tool_result result;
  result.status = process_->wait_for_exit(timeout);
  if (!result.status) {
    process_.reset();
  }
  result.out = read_all(out_);
  result.err = read_all(err_);
  return result;
}

tool_result run_tool(const std::string& path, const std::vector<std::string>& args,
                     std::chrono::milliseconds timeout) {
  return tool_run(path, args).finish(timeout);
}

}  // namespace reflector::test
