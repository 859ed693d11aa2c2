// Set-up failures that the service's own end-to-end tests leave out. Those
// cover a port held without sharing and too few descriptors (exit 255, see
// tests/service/lifecycle_e2e_test.cpp); these cover a CPU that a worker
// cannot be pinned to and a thread that cannot be created, including the
// case where another worker is already serving when the failure comes.
//
// Linux lets a thread widen its own CPU mask to any CPU of its cpuset, so a
// narrowed mask inherited from the test does not make pinning fail; short of
// reconfiguring the machine's cpusets, only an interposed affinity call can
// refuse a CPU. These tests therefore exist only in the build without a
// sanitizer, where the fault-injection shim can be preloaded.
#include <csignal>
#include <thread>

#include <gtest/gtest.h>

#include "tests/reliability/reflectord_launch.h"
#include "tests/support/network_namespace.h"
#include "tests/support/reflection_exchange.h"

namespace reflector::test {
namespace {

constexpr auto exit_timeout = std::chrono::seconds(20);

#define ENTER_NAMESPACE() REFLECTOR_ENTER_NETNS_OR_SKIP({"192.0.2.1", "2001:db8::2"})

#define NEED_TWO_WORKERS()                                                              \
  if (std::thread::hardware_concurrency() < 2) {                                        \
    GTEST_SKIP() << "needs two hardware threads, so that one worker serves while "     \
                    "another fails";                                                    \
  }

TEST(CpuRefused, ForTheFirstWorkerEndsWithStatus255) {
  ENTER_NAMESPACE();
  child_process service =
      launch_reflectord({.environment = {preload(REFLECTOR_FAULT_SHIM), "REFLECTOR_FAIL_AFFINITY_CALL=1"}});
  EXPECT_TRUE(exited_with(service.wait_for_exit(exit_timeout), 255));
}

// The shim holds the second affinity call until the first worker has
// answered a QUERY, then fails it.
TEST(CpuRefused, ForALaterWorkerEndsTheProcessWhileTheFirstServes) {
  ENTER_NAMESPACE();
  NEED_TWO_WORKERS();
  const gate_file gate;
  child_process service = launch_reflectord(
      {.environment = {preload(REFLECTOR_FAULT_SHIM), "REFLECTOR_FAIL_AFFINITY_CALL=2",
                       "REFLECTOR_FAULT_GATE=" + gate.path()}});
  ASSERT_TRUE(wait_until_answering()) << "the first worker never served";
  ASSERT_TRUE(service.running());
  gate.open_gate();
  EXPECT_TRUE(exited_with(service.wait_for_exit(exit_timeout), 255));
}

// std::thread turns the failure into an exception that nothing catches.
TEST(ThreadCreation, FailingForTheFirstWorkerEndsTheProcessAbnormally) {
  ENTER_NAMESPACE();
  child_process service = launch_reflectord(
      {.environment = {preload(REFLECTOR_FAULT_SHIM), "REFLECTOR_FAIL_THREAD_CREATE_CALL=1"}});
  EXPECT_TRUE(killed_by(service.wait_for_exit(exit_timeout), SIGABRT));
}

TEST(ThreadCreation, FailingForALaterWorkerEndsTheProcessWhileTheFirstServes) {
  ENTER_NAMESPACE();
  NEED_TWO_WORKERS();
  const gate_file gate;
  child_process service = launch_reflectord(
      {.environment = {preload(REFLECTOR_FAULT_SHIM), "REFLECTOR_FAIL_THREAD_CREATE_CALL=2",
                       "REFLECTOR_FAULT_GATE=" + gate.path()}});
  ASSERT_TRUE(wait_until_answering()) << "the first worker never served";
  ASSERT_TRUE(service.running());
  gate.open_gate();
  EXPECT_TRUE(killed_by(service.wait_for_exit(exit_timeout), SIGABRT));
}

}  // namespace
}  // namespace reflector::test
