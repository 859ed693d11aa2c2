// What the fast path must know of the host it runs on: the addresses that
// are its own, and the Ethernet address of the interface it is attached to.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/xdp/fast_path_program.h"

namespace reflector::xdp {

// Every unicast IPv4 and IPv6 address configured on any interface of this
// network namespace, IPv4 as ::ffff:a.b.c.d. A datagram to any of them is
// this host's, whichever interface it arrives on.
std::vector<fast_path_address> host_addresses();

// The interface's Ethernet address; nothing when it has none (loopback,
// tunnels) or does not exist.
std::optional<mac_address> interface_mac(const std::string& interface);

}  // namespace reflector::xdp
