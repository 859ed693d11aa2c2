// Runs frames through the fast path's program and through the oracle side
// by side, and keeps what they disagree on: a verdict, a frame sent back or
// passed on, or (once the frames are done) a counter. The same harness
// judges the real program and the variants with a fault planted in them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tests/xdp/fast_path_oracle.h"
#include "tests/xdp/program_under_test.h"
#include "tests/xdp/test_host.h"

namespace reflector::xdp::test {

class differential_harness {
 public:
  differential_harness(program_under_test& program, const test_host& host);

  // Runs one frame and compares; label names the frame in the report.
  prediction check(std::span<const std::uint8_t> frame, std::string_view label);
  // Compares the program's counters with the reasons predicted so far: each
  // counter that differs is one more disagreement.
  void check_counters();

  std::size_t frames() const { return frames_; }
  std::size_t disagreements() const { return disagreements_; }
  // Frames predicted per counter index (reason * family count + family).
  const std::array<std::uint64_t, FAST_PATH_COUNTER_COUNT>& tally() const { return tally_; }
  // The first few disagreements (at most `entries` frames and as many
  // counters), each frame in hex.
  std::string report(std::size_t entries = 8) const;

 private:
  void check_reply(std::span<const std::uint8_t> frame, std::string_view label, const prediction& expected,
                   std::span<const std::uint8_t> reply);
  void disagree(std::string_view label, std::span<const std::uint8_t> frame, const std::string& what);

  program_under_test& program_;
  const test_host& host_;
  std::size_t frames_ = 0;
  std::size_t disagreements_ = 0;
  std::array<std::uint64_t, FAST_PATH_COUNTER_COUNT> tally_{};
  std::vector<std::string> reported_;
  std::vector<std::string> counters_reported_;
};

// Hex of a frame, 16 bytes a line, cut after `limit` bytes.
std::string hex_dump(std::span<const std::uint8_t> frame, std::size_t limit = 128);

}  // namespace reflector::xdp::test
