#include "protocol/forward_target_filter.h"

#include "protocol/endpoint_encoding.h"
#include "protocol/message_layout.h"

namespace reflector {
namespace {

using address_bytes = std::span<const std::uint8_t, 16>;

// Rules in table order; every row refuses.
bool ipv4_allowed(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2, std::uint8_t b3) noexcept {
  if (b0 == 10) return false;                           // 10.0.0.0/8
  if (b0 == 127) return false;                          // 127.0.0.0/8
  if (b0 == 172 && b1 >= 16 && b1 <= 31) return false;  // 172.16.0.0/12
  if (b0 == 169 && b1 == 254) return false;             // 169.254.0.0/16
  if (b0 == 192 && b1 == 168) return false;             // 192.168.0.0/16
  if (b0 == 0) return false;                            // 0.0.0.0/8
  if (b0 >= 224 && b0 <= 239) return false;             // 224.0.0.0/4
  if (b0 == 255 && b1 == 255 && b2 == 255 && b3 == 255) return false;  // broadcast
  return true;
}

bool all_zero_before_last(address_bytes a) noexcept {
  for (int i = 0; i < 15; ++i) {
    if (a[i] != 0x00) {
      return false;
    }
  }
  return true;
}

// Rules in table order; the first that matches decides.
bool ipv6_allowed(address_bytes a) noexcept {
  if (all_zero_before_last(a)) {
    return a[15] > 0x01;  // :: unspecified and ::1 loopback are refused
  }
  if (a[0] == 0x00) return true;                          // other ::/8 addresses
  if ((a[0] & 0xfe) == 0xfc) return false;                // fc00::/7 unique local
  if (a[0] == 0xfe && (a[1] & 0xc0) == 0x80) return false;  // fe80::/10 link-local
  if (a[0] == 0xff) return false;                         // ff00::/8 multicast
  return true;
}

}  // namespace

bool forward_target_allowed(std::uint16_t target_port, address_bytes target_address) noexcept {
  if (target_port < lowest_forward_port) {
    return false;
  }
  if (is_ipv4_mapped(target_address)) {
    return ipv4_allowed(target_address[12], target_address[13], target_address[14],
                        target_address[15]);
  }
  return ipv6_allowed(target_address);
}

}  // namespace reflector
