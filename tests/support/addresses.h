// Address helpers shared by the tests: textual addresses to the 16-byte
// network-order form the protocol carries.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

namespace reflector::test {

using address16 = std::array<std::uint8_t, 16>;

// Accepts IPv6 text, or dotted IPv4 which becomes ::ffff:a.b.c.d.
inline address16 address_of(const std::string& text) {
  address16 out{};
  in6_addr v6{};
  in_addr v4{};
  if (inet_pton(AF_INET6, text.c_str(), &v6) == 1) {
    std::copy(v6.s6_addr, v6.s6_addr + 16, out.begin());
  } else if (inet_pton(AF_INET, text.c_str(), &v4) == 1) {
    out[10] = 0xff;
    out[11] = 0xff;
    std::memcpy(out.data() + 12, &v4, 4);
  } else {
    throw std::invalid_argument("not an address: " + text);
  }
  return out;
}

}  // namespace reflector::test
