// Network namespaces for the tests. The test process enters a fresh one of
// its own, with lo up and documentation addresses on it, so that every
// service under test has port 1213 to itself and no datagram leaves the
// namespace; side namespaces beside it hold services that must not share a
// port with each other, joined to it by veth pairs.
#pragma once

#include <string>
#include <vector>

namespace reflector::test {

// Returns an empty string on success, otherwise why it could not be done
// (most often: no CAP_SYS_ADMIN). Addresses are added to lo as host routes;
// 127.0.0.1 and ::1 come with lo itself. Children started afterwards inherit
// the namespace.
std::string enter_fresh_network_namespace(const std::vector<std::string>& addresses = {});

// Runs a command (searched in PATH, ip(8) or nft(8) most often) in the
// calling thread's namespace, and throws std::runtime_error naming it when
// it cannot be run or does not exit with status 0.
void run_command(const std::vector<std::string>& argv);

// Adds an address with its prefix length ("192.0.2.1/24", "2001:db8::1/64")
// to a device of the calling thread's namespace; IPv6 without duplicate
// address detection. Throws std::runtime_error.
void add_device_address(const std::string& address, const std::string& device);

class side_namespace;

// A veth pair, both ends up with their addresses: here_name in the calling
// thread's namespace, there_name in there. Throws std::runtime_error.
void link_namespaces(const std::string& here_name, const std::vector<std::string>& here_addresses,
                     const side_namespace& there, const std::string& there_name,
                     const std::vector<std::string>& there_addresses);

// A fresh namespace with lo up, which lives as long as its object; nothing
// is named or left behind.
class side_namespace {
 public:
  side_namespace();  // throws std::runtime_error
  ~side_namespace();
  side_namespace(const side_namespace&) = delete;
  side_namespace& operator=(const side_namespace&) = delete;

  // The calling thread moves into this namespace while an object lives, and
  // back to where it was after; children started meanwhile stay inside.
  class inside {
   public:
    explicit inside(const side_namespace& where);
    ~inside();
    inside(const inside&) = delete;
    inside& operator=(const inside&) = delete;

   private:
    int home_;
  };

  // A path that 'ip link ... netns' accepts for this namespace.
  std::string path() const;

 private:
  int fd_;
};

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
