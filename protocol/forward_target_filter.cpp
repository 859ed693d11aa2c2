#include "protocol/forward_target_filter.h"

#include "protocol/endpoint_encoding.h"
#include "protocol/message_layout.h"

namespace reflector {
namespace {

using address_bytes = std::span<const std::uint8_t, 16>;

// Rules in table order; every row refuses.
forward_refusal ipv4_refusal(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2,
                             std::uint8_t b3) noexcept {
  if (b0 == 10) return forward_refusal::private_range;                           // 10.0.0.0/8
  if (b0 == 127) return forward_refusal::loopback;                               // 127.0.0.0/8
  if (b0 == 172 && b1 >= 16 && b1 <= 31) return forward_refusal::private_range;  // 172.16.0.0/12
  if (b0 == 169 && b1 == 254) return forward_refusal::link_local;                // 169.254.0.0/16
  if (b0 == 192 && b1 == 168) return forward_refusal::private_range;             // 192.168.0.0/16
  if (b0 == 0) return forward_refusal::unspecified;                              // 0.0.0.0/8
  if (b0 >= 224 && b0 <= 239) return forward_refusal::multicast;                 // 224.0.0.0/4
  if (b0 == 255 && b1 == 255 && b2 == 255 && b3 == 255) return forward_refusal::broadcast;
  return forward_refusal::none;
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
forward_refusal ipv6_refusal(address_bytes a) noexcept {
  if (all_zero_before_last(a)) {
    if (a[15] == 0x00) return forward_refusal::unspecified;  // ::
    if (a[15] == 0x01) return forward_refusal::loopback;     // ::1
    return forward_refusal::none;
  }
  if (a[0] == 0x00) return forward_refusal::none;                               // other ::/8
  if ((a[0] & 0xfe) == 0xfc) return forward_refusal::private_range;             // fc00::/7
  if (a[0] == 0xfe && (a[1] & 0xc0) == 0x80) return forward_refusal::link_local;  // fe80::/10
  if (a[0] == 0xff) return forward_refusal::multicast;                          // ff00::/8
  return forward_refusal::none;
}

}  // namespace

forward_refusal forward_target_refusal(std::uint16_t target_port,
                                       address_bytes target_address) noexcept {
  if (target_port < lowest_forward_port) {
    return forward_refusal::port_too_low;
  }
  if (is_ipv4_mapped(target_address)) {
    return ipv4_refusal(target_address[12], target_address[13], target_address[14],
                        target_address[15]);
  }
  return ipv6_refusal(target_address);
}

}  // namespace reflector
