#include "worker/cpu_pinning.h"

#include <gtest/gtest.h>
#include <sys/sysinfo.h>

#include <climits>
#include <cstring>
#include <thread>

namespace reflector {
namespace {

// The set sits between guard bytes, so a bit written outside it shows.
struct guarded_set {
  unsigned char before[32];
  cpuset_t set;
  unsigned char after[32];
};

bool guards_intact(const guarded_set& g) {
  for (std::size_t i = 0; i < sizeof g.before; ++i) {
    if (g.before[i] != 0xa5 || g.after[i] != 0xa5) return false;
  }
  return true;
}

guarded_set filled_with_marks() {
  guarded_set g;
  std::memset(&g, 0xa5, sizeof g);
  return g;
}

TEST(CpuSetFor, NamesExactlyTheIndexedCpu) {
  for (const std::int32_t index : {0, 1, 63, 64, 1023}) {
    guarded_set g = filled_with_marks();
    EXPECT_TRUE(cpu_set_for(index, g.set)) << index;
    EXPECT_EQ(CPU_COUNT(&g.set), 1) << index;
    EXPECT_TRUE(CPU_ISSET(index, &g.set)) << index;
    EXPECT_TRUE(guards_intact(g)) << index;
  }
}

TEST(CpuSetFor, IndexBeyondTheSetLeavesItEmpty) {
  for (const std::int32_t index : {1024, 1025, 4096, INT_MAX, -1, INT_MIN}) {
    guarded_set g = filled_with_marks();
    EXPECT_FALSE(cpu_set_for(index, g.set)) << index;
    EXPECT_EQ(CPU_COUNT(&g.set), 0) << index;
    EXPECT_TRUE(guards_intact(g)) << index;
  }
}

cpu_set_t own_affinity() {
  cpu_set_t set;
  CPU_ZERO(&set);
  sched_getaffinity(0, sizeof set, &set);
  return set;
}

TEST(PinToCpu, PinsOnlyTheCallingThread) {
  const cpu_set_t before = own_affinity();
  cpu_set_t in_thread;
  std::thread([&] {
    pin_to_cpu(0);
    in_thread = own_affinity();
  }).join();
  EXPECT_EQ(CPU_COUNT(&in_thread), 1);
  EXPECT_TRUE(CPU_ISSET(0, &in_thread));
  const cpu_set_t after = own_affinity();
  EXPECT_TRUE(CPU_EQUAL(&before, &after));
}

TEST(PinToCpu, IndexBeyondTheSetRunsUnpinned) {
  const cpu_set_t before = own_affinity();
  pin_to_cpu(1024);
  const cpu_set_t after = own_affinity();
  EXPECT_TRUE(CPU_EQUAL(&before, &after));
}

TEST(PinToCpuDeathTest, RefusedCpuEndsTheProcessWith255) {
  if (get_nprocs_conf() > 1023) GTEST_SKIP() << "CPU 1023 exists here";
  EXPECT_EXIT(pin_to_cpu(1023), testing::ExitedWithCode(255), "");
}

}  // namespace
}  // namespace reflector
