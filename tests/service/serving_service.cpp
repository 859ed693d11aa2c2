#include "tests/service/serving_service.h"

#include "tests/support/network_namespace.h"
#include "tests/support/proc_readings.h"
#include "tests/support/reflection_exchange.h"
#include "tests/support/usable_cpus.h"

namespace reflector::test {

int expected_workers() { return static_cast<int>(usable_cpus().size()); }

std::vector<std::string> ServingService::local_addresses() const {
  return {"192.0.2.1", "2001:db8::2"};
}

void ServingService::SetUp() {
  REFLECTOR_ENTER_NETNS_OR_SKIP(local_addresses());
  service_.emplace();
  ASSERT_TRUE(service_->wait_until_answering());
  // Every worker bound: from here on a client's datagrams always meet the
  // same socket, so they are handled in the order they were sent.
  ASSERT_TRUE(wait_until_bound(service_port, expected_workers()));
}

void ServingService::TearDown() {
  if (service_) {
    EXPECT_TRUE(service_->stop_cleanly());
  }
}

}  // namespace reflector::test
