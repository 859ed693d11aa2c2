#include "worker/cpu_pinning.h"

#include <gtest/gtest.h>
#include <unistd.h>

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
  for (const std::int32_t index : {0, 1, 63, 64, CPU_SETSIZE - 1}) {
    guarded_set g = filled_with_marks();
    EXPECT_TRUE(cpu_set_for(index, g.set)) << index;
    EXPECT_EQ(CPU_COUNT(&g.set), 1) << index;
    EXPECT_TRUE(CPU_ISSET(index, &g.set)) << index;
    EXPECT_TRUE(guards_intact(g)) << index;
  }
}

TEST(CpuSetFor, IndexBeyondTheSetLeavesItEmpty) {
  for (const std::int32_t index : {CPU_SETSIZE, CPU_SETSIZE + 1, 4096, INT_MAX, -1, INT_MIN}) {
    guarded_set g = filled_with_marks();
    EXPECT_FALSE(cpu_set_for(index, g.set)) << index;
    EXPECT_EQ(CPU_COUNT(&g.set), 0) << index;
    EXPECT_TRUE(guards_intact(g)) << index;
  }
}

// The calling thread's own mask, asked of the system directly rather than
// through the platform layer under test.
cpuset_t own_affinity() {
  cpuset_t set;
  CPU_ZERO(&set);
#if defined(__FreeBSD__)
  cpuset_getaffinity(CPU_LEVEL_WHICH, CPU_WHICH_TID, -1, sizeof set, &set);
#else
  sched_getaffinity(0, sizeof set, &set);
#endif
  return set;
}

TEST(PinToCpu, PinsOnlyTheCallingThread) {
  const cpuset_t before = own_affinity();
  cpuset_t in_thread;
  std::thread([&] {
    pin_to_cpu(0);
    in_thread = own_affinity();
  }).join();
  EXPECT_EQ(CPU_COUNT(&in_thread), 1);
  EXPECT_TRUE(CPU_ISSET(0, &in_thread));
  const cpuset_t after = own_affinity();
  EXPECT_TRUE(CPU_EQUAL(&before, &after));
}

TEST(PinToCpu, IndexBeyondTheSetRunsUnpinned) {
  const cpuset_t before = own_affinity();
  pin_to_cpu(CPU_SETSIZE);
  const cpuset_t after = own_affinity();
  EXPECT_TRUE(CPU_EQUAL(&before, &after));
}

TEST(PinToCpuDeathTest, RefusedCpuEndsTheProcessWith255) {
  if (sysconf(_SC_NPROCESSORS_CONF) >= CPU_SETSIZE) {
    GTEST_SKIP() << "CPU " << CPU_SETSIZE - 1 << " exists here";
  }
  EXPECT_EXIT(pin_to_cpu(CPU_SETSIZE - 1), testing::ExitedWithCode(255), "");
}

}  // namespace
}  // namespace reflector
