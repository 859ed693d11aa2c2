#include "worker/worker_cpus.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

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

// Run in a child process: narrows it to cpu, then exits with 0 when
// worker_cpus() names exactly that CPU, or says what it named and exits 1.
[[noreturn]] void exit_on_worker_cpus_narrowed_to(std::int32_t cpu) {
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(cpu, &one);
  if (sched_setaffinity(0, sizeof one, &one) != 0) {
    std::fprintf(stderr, "cannot narrow to CPU %d\n", static_cast<int>(cpu));
    std::_Exit(2);
  }
  const std::vector<std::int32_t> named = worker_cpus();
  if (named == std::vector<std::int32_t>{cpu}) std::_Exit(0);
  std::fprintf(stderr, "narrowed to CPU %d, worker_cpus() named:", static_cast<int>(cpu));
  for (const std::int32_t c : named) std::fprintf(stderr, " %d", static_cast<int>(c));
  std::fprintf(stderr, "\n");
  std::_Exit(1);
}

// A narrowed affinity, as taskset or a cpuset leaves it, is what counts.
// Narrowed in a child process of a single thread: Linux answers with the
// asking thread's mask, FreeBSD with all the process's threads' together,
// and with one thread the two agree. The rest of this program keeps its own.
TEST(WorkerCpus, FollowTheAffinityTheyAreAskedUnder) {
  cpu_set_t own;
  CPU_ZERO(&own);
  ASSERT_EQ(sched_getaffinity(0, sizeof own, &own), 0);
  EXPECT_EQ(worker_cpus(), cpus_in(own));
  const std::int32_t last = cpus_in(own).back();
  EXPECT_EXIT(exit_on_worker_cpus_narrowed_to(last), testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace reflector
