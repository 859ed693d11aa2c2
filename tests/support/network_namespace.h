// Puts the calling test process in a network namespace of its own, with lo
// up and documentation addresses on it, so that every service under test
// has port 1213 to itself and no datagram leaves the namespace.
#pragma once

#include <string>
#include <vector>

namespace reflector::test {

// Returns an empty string on success, otherwise why it could not be done
// (most often: no CAP_SYS_ADMIN). Addresses are added to lo as host routes;
// 127.0.0.1 and ::1 come with lo itself. Children started afterwards inherit
// the namespace.
std::string enter_fresh_network_namespace(const std::vector<std::string>& addresses = {});

// Runs ip(8) with args in the calling process's namespace. Returns an empty
// string on success, otherwise what failed.
std::string run_ip(std::vector<std::string> args);

}  // namespace reflector::test

// Skips the current test with a clear message when no namespace can be made.
#define REFLECTOR_ENTER_NETNS_OR_SKIP(...)                                                 \
  do {                                                                                      \
    const std::string reflector_netns_problem =                                             \
        ::reflector::test::enter_fresh_network_namespace(__VA_ARGS__);                      \
    if (!reflector_netns_problem.empty()) {                                                 \
      GTEST_SKIP() << "needs root for a network namespace: " << reflector_netns_problem;    \
    }                                                                                       \
  } while (0)
