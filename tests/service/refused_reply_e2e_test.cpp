// A reply the kernel refuses to send (a FORWARD to a target that passes the
// filter but has no route, or is the broadcast address of one of the
// service's own subnets) costs only itself, never the replies queued behind
// it for other requests.
#include <signal.h>

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <thread>

#include "tests/service/serving_service.h"
#include "tests/support/network_namespace.h"
#include "tests/support/reflection_exchange.h"
#include "tests/support/udp_socket.h"

namespace reflector::test {
namespace {

using namespace std::chrono_literals;

// True once every thread of the process has stopped, bounded in time.
bool wait_until_stopped(pid_t pid) {
  for (int attempt = 0; attempt < 400; ++attempt) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const std::size_t after_name = line.rfind(')');
    if (after_name != std::string::npos && line.compare(after_name + 2, 1, "T") == 0) return true;
    std::this_thread::sleep_for(5ms);
  }
  return false;
}

class RefusedReplies : public ServingService {
 protected:
  // A subnet of the service's own, on a veth pair whose both ends stay in
  // this namespace: its broadcast address passes the filter, and a send to
  // it without SO_BROADCAST is refused (EACCES).
  void SetUp() override {
    ServingService::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    run_command({"ip", "link", "add", "rfa", "type", "veth", "peer", "name", "rfb"});
    run_command({"ip", "addr", "add", "203.0.113.1/24", "dev", "rfa"});
    run_command({"ip", "link", "set", "rfa", "up"});
    run_command({"ip", "link", "set", "rfb", "up"});
  }
};

// The service is stopped while the requests queue up, so that one receive
// takes them all and the refused replies sit inside runs of good ones.
TEST_F(RefusedReplies, DoNotCostTheOtherRepliesOfTheirBatch) {
  // No route from this namespace: 198.51.100.0/24, and IPv6 beyond lo's own
  // addresses. 203.0.113.255: the broadcast address above.
  const std::vector<std::pair<std::string, std::uint16_t>> refused_targets = {
      {"2001:db8:ffff::7", 5000}, {"203.0.113.255", 5000}, {"198.51.100.7", 5000}};
  const udp_socket client("192.0.2.1");
  service().signal(SIGSTOP);
  ASSERT_TRUE(wait_until_stopped(service().pid()));

  std::set<std::uint32_t> queried;
  for (std::uint32_t round = 0; round < 8; ++round) {
    for (std::uint32_t k = 0; k < refused_targets.size(); ++k) {
      const std::uint32_t tag = round * 10 + k;
      client.send_to("192.0.2.1", service_port, make_request(QUERY, tag));
      queried.insert(tag);
      const auto& [target, port] = refused_targets[k];
      client.send_to("192.0.2.1", service_port, make_forward(target, port, 1000 + tag));
    }
    client.send_to("192.0.2.1", service_port, make_request(QUERY, round * 10 + 9));
    queried.insert(round * 10 + 9);
  }
  service().signal(SIGCONT);

  std::set<std::uint32_t> answered;
  while (answered.size() < queried.size()) {
    const auto reply = client.receive(5s);
    if (!reply) break;
    EXPECT_EQ(read_type(reply->bytes.data()), QUERY_REPLY);
    answered.insert(tag_of(reply->bytes));
  }
  EXPECT_EQ(answered, queried);
}

}  // namespace
}  // namespace reflector::test
