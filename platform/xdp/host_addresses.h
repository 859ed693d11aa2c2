// What the fast path must know of the host it runs on: the addresses that
// are its own, the broadcast addresses of its subnets, and the Ethernet
// address of the interface it is attached to.
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

// The first and last address of the IPv4 subnet (the subnet's own address
// and its broadcast address), as ::ffff:a.b.c.d; none for a /31 or /32,
// whose every address is a host's.
std::vector<fast_path_address> subnet_broadcasts(const fast_path_address& address, unsigned prefix_length);

// subnet_broadcasts of every IPv4 address configured in this network
// namespace: sources whose answer would reach a whole subnet of the host.
// Throws fast_path_error when the addresses cannot be listed.
std::vector<fast_path_address> host_broadcasts();

// The interface's Ethernet address; nothing when it has none (loopback,
// tunnels) or does not exist.
std::optional<mac_address> interface_mac(const std::string& interface);

}  // namespace reflector::xdp
