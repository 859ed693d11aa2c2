#include "tests/support/network_namespace.h"

#include <gtest/gtest.h>

#include "tests/support/udp_socket.h"

namespace reflector::test {
namespace {

// The namespace the other tests stand on: lo up, both families, and the
// documentation addresses reachable from each other.
TEST(NetworkNamespace, DocumentationAddressesTalkOverLoopback) {
  REFLECTOR_ENTER_NETNS_OR_SKIP({"192.0.2.1", "2001:db8::2"});
  struct pair {
    const char* from;
    const char* to;
  };
  for (const auto [from, to] : {pair{"127.0.0.1", "192.0.2.1"}, pair{"192.0.2.1", "192.0.2.1"},
                                pair{"::1", "2001:db8::2"}, pair{"2001:db8::2", "2001:db8::2"}}) {
    {
      udp_socket receiver(to);
      udp_socket sender(from);
      sender.send_to(to, receiver.local_port(), {1, 2, 3});
      const auto got = receiver.receive(std::chrono::seconds(2));
      ASSERT_TRUE(got.has_value()) << from << " -> " << to;
      EXPECT_EQ(got->bytes, (std::vector<std::uint8_t>{1, 2, 3}));
      EXPECT_EQ(got->from_address, address_of(from));
    }
  }
}

}  // namespace
}  // namespace reflector::test
