// What the differential tests share: the frames they feed the harness, the
// random seed, and loading a program or skipping where bpf() is not allowed.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/xdp/crafted_frames.h"
#include "tests/xdp/differential_harness.h"
#include "tests/xdp/random_frames.h"

namespace reflector::xdp::test {

// Fixed, so that a run can be repeated; REFLECTOR_XDP_SEED overrides it to
// explore further.
inline std::uint64_t random_seed() {
  if (const char* text = std::getenv("REFLECTOR_XDP_SEED"); text != nullptr && *text != '\0') {
    return std::strtoull(text, nullptr, 0);
  }
  return 0x1213'0f11'da7a'5eedULL;
}

inline void check_crafted(differential_harness& harness, const std::vector<crafted_frame>& frames) {
  for (const crafted_frame& frame : frames) harness.check(frame.bytes, frame.name);
}

inline void check_random(differential_harness& harness, std::uint64_t seed, std::size_t count) {
  random_frames frames(seed, example_host());
  for (std::size_t i = 0; i < count; ++i) {
    harness.check(frames.next(), "random frame " + std::to_string(i) + " of seed " + std::to_string(seed));
  }
}

}  // namespace reflector::xdp::test

// Declares `program` (a std::unique_ptr<program_under_test>) loaded for the
// example host from object_path (std::nullopt: the built-in object). Skips
// the test when the process may not use bpf(); any other failure fails it.
#define REFLECTOR_LOAD_OR_SKIP(program, object_path)                                        \
  auto program##_loaded = ::reflector::xdp::test::load_program(                             \
      ::reflector::xdp::test::example_host(), object_path);                                 \
  if (!program##_loaded.program && program##_loaded.lacks_privilege) {                      \
    GTEST_SKIP() << program##_loaded.failure;                                               \
  }                                                                                         \
  ASSERT_TRUE(program##_loaded.program) << program##_loaded.failure;                        \
  auto program = std::move(program##_loaded.program)
