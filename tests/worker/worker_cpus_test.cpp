#include "worker/worker_cpus.h"

#include <gtest/gtest.h>

#include <thread>

namespace reflector {
namespace {

TEST(CpusIn, ListsTheSetsCpusInAscendingOrder) {
  const std::vector<std::vector<std::int32_t>> sets = {
      {}, {0}, {1}, {0, 1}, {2, 5, 7}, {63, 64}, {0, CPU_SETSIZE - 1}};
  for (const auto& cpus : sets) {
    cpuset_t set;
    CPU_ZERO(&set);
    for (const std::int32_t cpu : cpus) CPU_SET(cpu, &set);
    EXPECT_EQ(cpus_in(set), cpus);
  }
}

// A narrowed affinity, as taskset or a cpuset leaves it, is what counts;
// narrowed here on a thread of its own, which is what the service asks on.
TEST(WorkerCpus, FollowTheAffinityTheyAreAskedUnder) {
  cpu_set_t own;
  CPU_ZERO(&own);
  ASSERT_EQ(sched_getaffinity(0, sizeof own, &own), 0);
  EXPECT_EQ(worker_cpus(), cpus_in(own));
  const std::int32_t last = cpus_in(own).back();
  std::vector<std::int32_t> narrowed;
  std::thread([&] {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(last, &one);
    ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
    narrowed = worker_cpus();
  }).join();
  EXPECT_EQ(narrowed, std::vector<std::int32_t>{last});
}

}  // namespace
}  // namespace reflector
