#include "tests/tools/tool_run.h"

#include <grp.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
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

namespace {

// In the child, between fork and exec: nobody, with exactly these
// capabilities kept across the change of user and the exec.
bool become_nobody_with(const std::vector<int>& capabilities) {
  if (!capabilities.empty() && prctl(PR_SET_KEEPCAPS, 1, 0, 0, 0) != 0) return false;
  if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) return false;
  if (capabilities.empty()) return true;
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2]{};
  for (const int capability : capabilities) {
    const std::uint32_t bit = 1u << (capability % 32);
    data[capability / 32].effective |= bit;
    data[capability / 32].permitted |= bit;
    data[capability / 32].inheritable |= bit;
  }
  if (syscall(SYS_capset, &header, data) != 0) return false;
  for (const int capability : capabilities) {
    if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_RAISE, capability, 0, 0) != 0) return false;
  }
  return true;
}

}  // namespace

tool_result run_tool_as_nobody(const std::string& path, const std::vector<std::string>& args,
                               std::chrono::milliseconds timeout) {
  return run_tool_as_nobody_with(path, args, {}, timeout);
}

tool_result run_tool_as_nobody_with(const std::string& path, const std::vector<std::string>& args,
                                    const std::vector<int>& capabilities, std::chrono::milliseconds timeout) {
  char pattern[] = "/tmp/reflector-tool-XXXXXX";
  if (mkdtemp(pattern) == nullptr) throw std::runtime_error("cannot make a directory under /tmp");
  const std::filesystem::path directory = pattern;
  const std::filesystem::path copy = directory / std::filesystem::path(path).filename();
  namespace fs = std::filesystem;
  fs::permissions(directory, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                 fs::perms::others_read | fs::perms::others_exec);
  fs::copy_file(path, copy);
  fs::permissions(copy, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec);

  output_file out;
  output_file err;
  const int out_fd = out.fd();
  const int err_fd = err.fd();
  std::optional<child_process> child;
  child.emplace(child_process::start(copy, args, sanitizer_settings(), [out_fd, err_fd, &capabilities] {
    dup2(out_fd, STDOUT_FILENO);
    dup2(err_fd, STDERR_FILENO);
    // Never exec as root: a failed drop ends the child instead.
    if (!become_nobody_with(capabilities)) _exit(125);
  }));
  tool_result result;
  result.status = child->wait_for_exit(timeout);
  child.reset();
  fs::remove_all(directory);
  result.out = out.text();
  result.err = err.text();
  return result;
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
