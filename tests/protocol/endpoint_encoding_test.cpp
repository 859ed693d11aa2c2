#include "protocol/endpoint_encoding.h"

#include <gtest/gtest.h>

#include <random>

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
  std::copy(magic.begin(), magic.end(), message.begin() + magic_offset);
  encode_endpoint(message.data(), wire_endpoint{port_bytes(0x0000), {}});
  EXPECT_EQ(message[xport_offset], 0x12);
  EXPECT_EQ(message[xport_offset + 1], 0x13);
  encode_endpoint(message.data(), wire_endpoint{port_bytes(5000), {}});
  EXPECT_EQ(message[xport_offset], 0x01);
  EXPECT_EQ(message[xport_offset + 1], 0x9b);
}

}  // namespace
}  // namespace reflector
