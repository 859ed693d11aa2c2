// The 802.1Q VLANs a host is on through one interface: the VLAN interfaces
// stacked on it. A frame tagged with any other VLAN id is one the kernel
// would not deliver to this host's sockets.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace reflector::xdp {

// The VLAN ids of the 802.1Q VLAN interfaces (not 802.1ad ones) whose
// lower interface is the one given and that are up, in this network
// namespace; in ascending order. Throws fast_path_error when the kernel's
// list of interfaces cannot be read.
std::vector<std::uint16_t> interface_vlans(const std::string& interface);

// The VLAN id when one RTM_NEWLINK message (its netlink header first) is of
// such a VLAN interface on lower_index; nothing for any other interface, and
// for a message that is cut short or malformed.
std::optional<std::uint16_t> stacked_vlan_id(std::span<const std::uint8_t> link_message, unsigned lower_index);

}  // namespace reflector::xdp
