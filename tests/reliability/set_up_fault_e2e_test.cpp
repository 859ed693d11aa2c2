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
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/network_namespace.h"
#include "tests/support/service_instance.h"

namespace reflector::test {
namespace {

// A file the test creates at a moment it chooses, to let the shim's failing
// call go ahead; removed at the end.
class gate_file {
 public:
  gate_file()
      : path_(std::filesystem::temp_directory_path() / ("reflector-gate-" + std::to_string(getpid()))) {
    std::filesystem::remove(path_);
  }
  ~gate_file() { std::filesystem::remove(path_); }
  const std::string& path() const { return path_; }
  void open_gate() const { std::ofstream(path_).put('1'); }

 private:
  std::string path_;
};

#define ENTER_NAMESPACE() REFLECTOR_ENTER_NETNS_OR_SKIP({"192.0.2.1", "2001:db8::2"})

#define NEED_TWO_WORKERS()                                                              \
  if (std::thread::hardware_concurrency() < 2) {                                        \
    GTEST_SKIP() << "needs two hardware threads, so that one worker serves while "     \
                    "another fails";                                                    \
  }

TEST(CpuRefused, ForTheFirstWorkerEndsWithStatus255) {
  ENTER_NAMESPACE();
  service_instance service(
      {.environment = {"LD_PRELOAD=" REFLECTOR_FAULT_SHIM, "REFLECTOR_FAIL_AFFINITY_CALL=1"}});
  EXPECT_TRUE(exited_with(service.wait_for_exit(), 255));
}

// The shim holds the second affinity call until the first worker has
// answered a QUERY, then fails it.
TEST(CpuRefused, ForALaterWorkerEndsTheProcessWhileTheFirstServes) {
  ENTER_NAMESPACE();
  NEED_TWO_WORKERS();
  const gate_file gate;
  service_instance service({.environment = {"LD_PRELOAD=" REFLECTOR_FAULT_SHIM,
                                             "REFLECTOR_FAIL_AFFINITY_CALL=2",
                                             "REFLECTOR_FAULT_GATE=" + gate.path()}});
  ASSERT_TRUE(service.wait_until_answering()) << "the first worker never served";
  ASSERT_TRUE(service.running());
  gate.open_gate();
  EXPECT_TRUE(exited_with(service.wait_for_exit(), 255));
}

// std::thread turns the failure into an exception that nothing catches.
TEST(ThreadCreation, FailingForTheFirstWorkerEndsTheProcessAbnormally) {
  ENTER_NAMESPACE();
  service_instance service(
      {.environment = {"LD_PRELOAD=" REFLECTOR_FAULT_SHIM, "REFLECTOR_FAIL_THREAD_CREATE_CALL=1"}});
  EXPECT_TRUE(killed_by(service.wait_for_exit(), SIGABRT));
}

TEST(ThreadCreation, FailingForALaterWorkerEndsTheProcessWhileTheFirstServes) {
  ENTER_NAMESPACE();
  NEED_TWO_WORKERS();
  const gate_file gate;
  service_instance service({.environment = {"LD_PRELOAD=" REFLECTOR_FAULT_SHIM,
                                             "REFLECTOR_FAIL_THREAD_CREATE_CALL=2",
                                             "REFLECTOR_FAULT_GATE=" + gate.path()}});
  ASSERT_TRUE(service.wait_until_answering()) << "the first worker never served";
  ASSERT_TRUE(service.running());
  gate.open_gate();
  EXPECT_TRUE(killed_by(service.wait_for_exit(), SIGABRT));
}

}  // namespace
}  // namespace reflector::test
