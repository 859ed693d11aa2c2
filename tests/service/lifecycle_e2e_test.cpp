#include <signal.h>

#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "tests/service/serving_service.h"
#include "tests/support/network_namespace.h"
#include "tests/support/proc_readings.h"
#include "tests/support/reflection_exchange.h"
#include "tests/support/service_instance.h"
#include "tests/support/udp_socket.h"
#include "tests/support/usable_cpus.h"

namespace reflector::test {
namespace {

using namespace std::chrono_literals;

#define ENTER_SERVICE_NAMESPACE() REFLECTOR_ENTER_NETNS_OR_SKIP({"192.0.2.1", "2001:db8::2"})

class StopSignal : public testing::TestWithParam<int> {};

TEST_P(StopSignal, EndsTheServiceWithStatus0) {
  ENTER_SERVICE_NAMESPACE();
  service_instance service;
  ASSERT_TRUE(service.wait_until_answering());
  EXPECT_TRUE(service.stop_cleanly(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Signals, StopSignal, testing::Values(SIGTERM, SIGINT),
                         [](const auto& info) { return info.param == SIGTERM ? "Term" : "Int"; });

TEST(Lifecycle, HangupKeepsItsDefaultEffect) {
  ENTER_SERVICE_NAMESPACE();
  service_instance service;
  ASSERT_TRUE(service.wait_until_answering());
  EXPECT_TRUE(killed_by(service.stop_with(SIGHUP), SIGHUP));
  EXPECT_EQ(service.output(), "");
}

TEST(Lifecycle, ArgumentsAndEnvironmentMakeNoDifference) {
  ENTER_SERVICE_NAMESPACE();
  service_instance service({.arguments = {"--port", "5000", "-h", "--verbose"},
                            .environment = {"PORT=5000", "REFLECTOR_PORT=5000", "LANG=C"}});
  ASSERT_TRUE(service.wait_until_answering("::1"));
  EXPECT_EQ(bound_udp_sockets(5000), 0);
  EXPECT_TRUE(service.stop_cleanly());
}

// One of the ways a worker can fail to set up its endpoint: the whole
// process ends with status 255, having written nothing.
void expect_set_up_failure(const service_options& options) {
  service_instance service(options);
  EXPECT_TRUE(exited_with(service.wait_for_exit(), 255));
  EXPECT_EQ(service.output(), "");
}

TEST(SetUpFailure, PortHeldWithoutSharingEnds255) {
  ENTER_SERVICE_NAMESPACE();
  for (const char* holder_address : {"::", "0.0.0.0", "192.0.2.1"}) {
    SCOPED_TRACE(holder_address);
    const udp_socket holder(holder_address, service_port);
    expect_set_up_failure({});
  }
}

// Standard streams plus one descriptor short of a queue and a socket for
// every worker: the last worker cannot open its socket. With at least two
// workers the limit leaves start-up itself room (the loader, and the
// sanitizer runtimes, which need a pipe for their own checks).
TEST(SetUpFailure, TooFewDescriptorsEnds255) {
  ENTER_SERVICE_NAMESPACE();
  const int workers = expected_workers();
  if (workers < 2) GTEST_SKIP() << "needs at least two hardware threads";
  expect_set_up_failure({.descriptor_limit = static_cast<rlim_t>(3 + 2 * workers - 1)});
}

// The CPUs that threads other than the main one are pinned to, one entry per
// pinned thread.
std::multiset<std::string> pinned_cpus_of_workers(pid_t pid) {
  std::multiset<std::string> pinned;
  for (const auto& [tid, cpus] : allowed_cpus_by_thread(pid)) {
    if (tid != pid && cpus.find_first_of(",-") == std::string::npos) pinned.insert(cpus);
  }
  return pinned;
}

TEST_F(ServingService, OneWorkerPerUsableCpuEachPinnedToItsOwnCpu) {
  std::multiset<std::string> expected;
  for (const int cpu : usable_cpus()) expected.insert(std::to_string(cpu));
  std::multiset<std::string> pinned;
  for (int attempt = 0; attempt < 200 && pinned != expected; ++attempt) {
    std::this_thread::sleep_for(25ms);
    pinned = pinned_cpus_of_workers(service().pid());
  }
  EXPECT_EQ(pinned, expected);
  EXPECT_GE(allowed_cpus_by_thread(service().pid()).size(), expected.size() + 1);
  EXPECT_EQ(bound_udp_sockets(service_port), expected_workers());
}

}  // namespace
}  // namespace reflector::test
