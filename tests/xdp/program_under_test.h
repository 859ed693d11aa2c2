// The fast path's BPF program loaded for a test host and run on one frame at
// a time through BPF_PROG_TEST_RUN: no interface, no network, the frame in
// and the verdict and the frame as the program left it out.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/xdp/fast_path_program.h"
#include "tests/xdp/test_host.h"

namespace reflector::xdp::test {

struct program_run {
  std::uint32_t verdict = 0;  // the XDP return code
  std::span<const std::uint8_t> frame;  // valid until the next run
};

class program_under_test {
 public:
  // The built-in program, or the object file at object_path; loaded with the
  // host's MAC address, local addresses, subnet broadcasts and VLANs in its maps.
  program_under_test(const test_host& host, const std::optional<std::string>& object_path);

  // Throws std::runtime_error when the kernel refuses the run.
  program_run run(std::span<const std::uint8_t> frame);
  counter_readings counters() const;

 private:
  fast_path_program program_;
  int program_fd_;
  std::vector<std::uint8_t> output_;
};

// Either a loaded program, or why not; lacks_privilege tells a test to skip
// rather than fail, and only when the process holds neither CAP_SYS_ADMIN
// nor CAP_BPF, so that a privileged run can never skip.
struct loaded_program {
  std::unique_ptr<program_under_test> program;
  std::string failure;
  bool lacks_privilege = false;
};

loaded_program load_program(const test_host& host,
                            const std::optional<std::string>& object_path = std::nullopt);

}  // namespace reflector::xdp::test
