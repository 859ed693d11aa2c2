// Fuzz target: forward_target_allowed must agree with the prefix-table model
// on every target. Input: 2 bytes port (network order), then 16 bytes
// address; missing bytes are zero.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <algorithm>

#include "protocol/forward_target_filter.h"
#include "tests/properties/forward_target_model.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::uint8_t port_bytes[2] = {};
  reflector::test::address_bytes16 address{};
  const std::size_t port_taken = size < 2 ? size : 2;
  std::copy(data, data + port_taken, port_bytes);
  std::copy(data + port_taken, data + (size < 18 ? size : 18), address.begin());
  const auto port = static_cast<std::uint16_t>(port_bytes[0] << 8 | port_bytes[1]);
  if (reflector::forward_target_allowed(port, address) != reflector::test::model_allows(port, address)) {
    char text[INET6_ADDRSTRLEN];
    inet_ntop(AF_INET6, address.data(), text, sizeof text);
    std::fprintf(stderr, "filter and model disagree on [%s]:%u\n", text, port);
    std::abort();
  }
  return 0;
}
