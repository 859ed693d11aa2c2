// A bounded soak: many clients flood the service with every kind of
// datagram as fast as the generator can send, then below saturation (half
// the rate measured first, in lockstep rounds). The service must stay up,
// keep its memory flat, answer exactly the valid requests with replies as
// long as their requests, send nothing to refused targets, lose no valid
// request below saturation, and still stop with status 0.
#include <iostream>

#include <gtest/gtest.h>

#include "tests/reliability/load_generator.h"
#include "tests/support/network_namespace.h"
#include "tests/support/proc_readings.h"
#include "tests/support/service_instance.h"

namespace reflector::test {
namespace {

// The slots and event arrays are zero-filled at start-up, so every page the
// service will use is resident from then on; a leak of even a few bytes per
// datagram over millions of datagrams would exceed this by far.
constexpr std::uint64_t resident_growth_tolerance_kib = 512;

constexpr int client_count = 32;

void expect_only_correct_traffic(const phase_result& r, const char* phase) {
  EXPECT_EQ(r.wrong_datagrams, 0u) << phase << ": " << r.first_problem;
  EXPECT_EQ(r.duplicate_replies, 0u) << phase << ": " << r.first_problem;
  EXPECT_EQ(r.refused_target_arrivals, 0u) << phase << ": " << r.first_problem;
}

void report(const char* phase, const phase_result& r) { std::cout << phase << ": " << r.summary() << "\n"; }

TEST(Soak, FloodOfEveryKindLeavesTheServiceUpCorrectAndFlat) {
  REFLECTOR_ENTER_NETNS_OR_SKIP({"192.0.2.1", "2001:db8::2", "198.51.100.1"});
  service_instance service;
  ASSERT_TRUE(service.wait_until_answering());
  load_generator generator(client_count);

  const phase_result capacity = generator.run(
      {.kinds = {datagram_kind::query}, .duration = std::chrono::seconds(3), .max_datagrams = 50'000'000});
  report("capacity (QUERY flood)", capacity);
  expect_only_correct_traffic(capacity, "capacity");
  const double saturation_rate = capacity.answered / capacity.seconds;
  ASSERT_GT(saturation_rate, 0);

  const phase_result warm_up = generator.run(
      {.kinds = every_kind(), .duration = std::chrono::seconds(2), .max_datagrams = 50'000'000});
  expect_only_correct_traffic(warm_up, "warm-up");
  const std::uint64_t resident_before = resident_kib(service.pid());

  const phase_result flood = generator.run(
      {.kinds = every_kind(), .duration = std::chrono::seconds(12), .max_datagrams = 100'000'000});
  report("flood (every kind)", flood);
  ASSERT_TRUE(service.running()) << "the service fell over during the flood: " << service.output();
  expect_only_correct_traffic(flood, "flood");

  const phase_result below = generator.run({.kinds = every_kind(),
                                            .duration = std::chrono::seconds(6),
                                            .max_datagrams = 50'000'000,
                                            .burst_per_client = 2,
                                            .lockstep = true,
                                            .rate_per_second = saturation_rate / 2});
  report("below saturation (lockstep, half the capacity)", below);
  ASSERT_TRUE(service.running()) << service.output();
  expect_only_correct_traffic(below, "below saturation");
  EXPECT_EQ(below.lost(), 0u) << "valid requests lost below saturation";
  EXPECT_GT(below.answered, 0u);

  const std::uint64_t resident_after = resident_kib(service.pid());
  std::cout << "resident memory after warm-up " << resident_before << " KiB, at the end "
            << resident_after << " KiB (tolerance " << resident_growth_tolerance_kib << " KiB)\n";
  EXPECT_LE(resident_after, resident_before + resident_growth_tolerance_kib);

  EXPECT_TRUE(service.stop_cleanly());
}

}  // namespace
}  // namespace reflector::test
