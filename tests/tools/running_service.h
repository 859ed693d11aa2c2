// reflectord started for a test in the calling thread's network namespace,
// waited for until it answers, killed and reaped at the end.
#pragma once

#include <string>

#include "tests/support/child_process.h"

namespace reflector::test {

class running_service {
 public:
  // probe_address: an address of the namespace the service should answer on.
  explicit running_service(const std::string& probe_address);
  pid_t pid() const { return process_.pid(); }

 private:
  child_process process_;
};

// True once nothing can bind address:port, that is, once a tool listens there.
bool wait_until_port_taken(const std::string& address, std::uint16_t port);

}  // namespace reflector::test
