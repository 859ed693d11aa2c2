// The fast path's BPF program, run frame by frame through BPF_PROG_TEST_RUN,
// against the oracle: every verdict, every frame sent back or passed on, and
// every counter must agree.
#include <gtest/gtest.h>

#include <iostream>
#include <set>
#include <utility>
#include <vector>

#include "tests/xdp/differential_runs.h"

namespace reflector::xdp::test {
namespace {

constexpr std::size_t random_frame_count = 1'000'000;

std::size_t index_of(fast_path_reason reason, fast_path_family family) {
  return static_cast<std::size_t>(reason) * fast_path_family_count + family;
}

// Every reason an IP frame can get in its family: IPv6 has no options field
// or fragment offset in its header, and IPv4 may go without a UDP checksum.
std::vector<std::pair<fast_path_reason, fast_path_family>> reachable_ip_outcomes() {
  std::vector<std::pair<fast_path_reason, fast_path_family>> outcomes;
  for (int r = 0; r < fast_path_reason_count; ++r) {
    const auto reason = static_cast<fast_path_reason>(r);
    if (reason != reason_passed_zero_checksum) outcomes.emplace_back(reason, family_ipv4);
    if (reason != reason_passed_ip_options && reason != reason_passed_fragment) {
      outcomes.emplace_back(reason, family_ipv6);
    }
  }
  return outcomes;
}

// The hand-made frames must each reach the rule they are named for, or the
// table tests less than it says. Needs no bpf().
TEST(CraftedFrames, EachReachesTheRuleItIsMadeFor) {
  const auto frames = crafted_frames(example_host());
  std::set<std::size_t> reached;
  for (const crafted_frame& frame : frames) {
    const prediction p = predict(frame.bytes, example_host());
    EXPECT_EQ(name_of(p.reason), std::string(name_of(frame.intended_reason))) << frame.name;
    EXPECT_EQ(name_of(p.family), std::string(name_of(frame.intended_family))) << frame.name;
    EXPECT_EQ(p.handler_conflict, "") << frame.name;
    reached.insert(index_of(p.reason, p.family));
  }
  for (const auto& [reason, family] : reachable_ip_outcomes()) {
    EXPECT_TRUE(reached.contains(index_of(reason, family))) << name_of(reason) << "/" << name_of(family);
  }
  EXPECT_TRUE(reached.contains(index_of(reason_passed_other, family_other)));
  EXPECT_TRUE(reached.contains(index_of(reason_passed_malformed, family_other)));
}

TEST(FastPathDifferential, CraftedFramesAgree) {
  REFLECTOR_LOAD_OR_SKIP(program, std::nullopt);
  differential_harness harness(*program, example_host());
  check_crafted(harness, crafted_frames(example_host()));
  harness.check_counters();
  EXPECT_EQ(harness.disagreements(), 0u) << harness.report();
}

TEST(FastPathDifferential, AMillionRandomFramesAgree) {
  REFLECTOR_LOAD_OR_SKIP(program, std::nullopt);
  const std::uint64_t seed = random_seed();
  std::cout << "random frames of seed " << seed << " (REFLECTOR_XDP_SEED=" << seed << " repeats them)\n";
  differential_harness harness(*program, example_host());
  check_random(harness, seed, random_frame_count);
  harness.check_counters();
  EXPECT_EQ(harness.disagreements(), 0u) << "seed " << seed << ": " << harness.report();

  std::cout << "frames by reason:";
  for (std::size_t index = 0; index < harness.tally().size(); ++index) {
    if (harness.tally()[index] == 0) continue;
    std::cout << " " << name_of(static_cast<fast_path_reason>(index / fast_path_family_count)) << "/"
              << name_of(static_cast<fast_path_family>(index % fast_path_family_count)) << " "
              << harness.tally()[index];
  }
  std::cout << "\n";

  // A generator that stopped reaching a rule would let this pass on less.
  for (const auto& [reason, family] : reachable_ip_outcomes()) {
    EXPECT_GT(harness.tally()[index_of(reason, family)], 0u) << name_of(reason) << "/" << name_of(family);
  }
}

}  // namespace
}  // namespace reflector::xdp::test
