// The fixed filter on FORWARD targets: which endpoints the service will send
// a FORWARD_REPLY to. A target passes when its port is 1024 or above and its
// address lies outside the loopback, private, link-local, multicast,
// unspecified and broadcast ranges.
#pragma once

#include <cstdint>
#include <span>

namespace reflector {

// Why a target is refused: the first rule that matches, port first.
enum class forward_refusal {
  none,  // the target passes
  port_too_low,
  loopback,
  private_range,  // IPv4 private ranges, IPv6 unique local
  link_local,
  multicast,
  unspecified,  // IPv4 0.0.0.0/8, IPv6 ::
  broadcast,
};

// target_port in host order; target_address is 16 bytes in network order,
// an IPv4 target given as its IPv4-mapped address (::ffff:a.b.c.d).
forward_refusal forward_target_refusal(std::uint16_t target_port,
                                       std::span<const std::uint8_t, 16> target_address) noexcept;

inline bool forward_target_allowed(std::uint16_t target_port,
                                   std::span<const std::uint8_t, 16> target_address) noexcept {
  return forward_target_refusal(target_port, target_address) == forward_refusal::none;
}

}  // namespace reflector
