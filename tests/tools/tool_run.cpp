#include "tests/tools/tool_run.h"

#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>

#include "tests/support/udp_socket.h"

namespace reflector::test {

bool tool_result::exited_with(int code) const {
  return status && WIFEXITED(*status) && WEXITSTATUS(*status) == code;
}

std::string tool_result::describe() const {
  return (status ? describe_status(*status) : std::string("killed after the timeout")) +
         "\nstdout: " + out + "\nstderr: " + err;
}

tool_run::tool_run(const std::string& path, const std::vector<std::string>& args) {
  const int out_fd = out_.fd();
  const int err_fd = err_.fd();
  process_.emplace(child_process::start(path, args, sanitizer_settings(), [out_fd, err_fd] {
    dup2(out_fd, STDOUT_FILENO);
    dup2(err_fd, STDERR_FILENO);
  }));
}

tool_result tool_run::finish(std::chrono::milliseconds timeout) {
  tool_result result;
  result.status = process_->wait_for_exit(timeout);
  if (!result.status) {
    process_.reset();
  }
  result.out = out_.text();
  result.err = err_.text();
  return result;
}

tool_result run_tool(const std::string& path, const std::vector<std::string>& args,
                     std::chrono::milliseconds timeout) {
  return tool_run(path, args).finish(timeout);
}

bool wait_until_port_taken(const std::string& address, std::uint16_t port) {
  for (int attempt = 0; attempt < 400; ++attempt) {
    try {
      const udp_socket probe(address, port);
    } catch (const std::runtime_error&) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

}  // namespace reflector::test
