#include "protocol/endpoint_encoding.h"

#include <gtest/gtest.h>

#include <random>

#include "protocol/request.h"
#include "tests/support/addresses.h"

namespace reflector {
namespace {

// Encoding is its own inverse for any key, and touches only bytes 22-39.
TEST(EndpointEncoding, RoundTripsUnderAnyKey) {
  std::mt19937 random(1213);
  for (int round = 0; round < 1000; ++round) {
    std::array<std::uint8_t, header_size> message{};
    for (auto& byte : message) byte = static_cast<std::uint8_t>(random());
    const auto before = message;
    wire_endpoint endpoint;
    for (auto& byte : endpoint.port) byte = static_cast<std::uint8_t>(random());
    for (auto& byte : endpoint.address) byte = static_cast<std::uint8_t>(random());

    encode_endpoint(message.data(), endpoint);
    EXPECT_EQ(decode_endpoint(message.data()), endpoint);
    EXPECT_TRUE(std::equal(before.begin(), before.begin() + xport_offset, message.begin()));
  }
}

// With magic as the key's first four bytes the port mask is 0x1213.
TEST(EndpointEncoding, PortMaskIsTheFirstTwoMagicBytes) {
  std::array<std::uint8_t, header_size> message{};
  write_request(message.data(), QUERY, request_key{});
  encode_endpoint(message.data(), wire_endpoint{port_bytes(0x0000), {}});
  EXPECT_EQ(message[xport_offset], 0x12);
  EXPECT_EQ(message[xport_offset + 1], 0x13);
  encode_endpoint(message.data(), wire_endpoint{port_bytes(5000), {}});
  EXPECT_EQ(message[xport_offset], 0x01);
  EXPECT_EQ(message[xport_offset + 1], 0x9b);
}

// Only ten zero bytes then ff ff make the IPv4-mapped form; its neighbours
// are IPv6 addresses in their own right.
TEST(EndpointEncoding, IPv4MappedIsExactlyTheFfffPrefix) {
  struct mapped_case {
    const char* address;
    bool mapped;
  };
  for (const mapped_case c : {mapped_case{"192.0.2.1", true}, mapped_case{"::ffff:0.0.0.0", true},
                              mapped_case{"::ffff:255.255.255.255", true},
                              mapped_case{"::192.0.2.1", false}, mapped_case{"::fffe:c000:201", false},
                              mapped_case{"::feff:c000:201", false},
                              mapped_case{"0:0:0:0:1:ffff:c000:201", false},
                              mapped_case{"100::ffff:c000:201", false},
                              mapped_case{"64:ff9b::c000:201", false}, mapped_case{"::1", false},
                              mapped_case{"::", false}}) {
    EXPECT_EQ(is_ipv4_mapped(test::address_of(c.address)), c.mapped) << c.address;
  }
}

}  // namespace
}  // namespace reflector
