// The fixed filter on FORWARD targets: which endpoints the service will send
// a FORWARD_REPLY to. A target passes when its port is 1024 or above and its
// address lies outside the loopback, private, link-local, multicast,
// unspecified and broadcast ranges.
#pragma once

#include <cstdint>
#include <span>

namespace reflector {

// target_port in host order; target_address is 16 bytes in network order,
// an IPv4 target given as its IPv4-mapped address (::ffff:a.b.c.d).
bool forward_target_allowed(std::uint16_t target_port,
                            std::span<const std::uint8_t, 16> target_address) noexcept;

}  // namespace reflector
