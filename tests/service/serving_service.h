// The common frame of the service's end-to-end tests that need it serving:
// a fresh namespace with lo up and documentation addresses on it, a service
// that answers with every worker bound, and at the end a SIGTERM that must
// stop it with status 0 having written nothing.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/service_instance.h"

namespace reflector::test {

// The number of workers reflectord starts here: one per CPU this process
// may use.
int expected_workers();

class ServingService : public testing::Test {
 protected:
  // The addresses put on lo; a test that needs others overrides this.
  virtual std::vector<std::string> local_addresses() const;
  void SetUp() override;
  void TearDown() override;
  service_instance& service() { return *service_; }

 private:
  std::optional<service_instance> service_;
};

}  // namespace reflector::test
