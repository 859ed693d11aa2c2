// The host the fast path is loaded for in these tests: its interface's MAC
// address and its local addresses, configured into the program's maps and
// given to the oracle alike, and the ranges the egress guard keeps.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/xdp/fast_path_program.h"
#include "tests/support/addresses.h"
#include "tests/xdp/egress_guard_ranges.h"

namespace reflector::xdp::test {

using reflector::test::address16;
using reflector::test::address_of;

// One of the host's IPv4 addresses with the length of its subnet's prefix.
struct ipv4_subnet {
  address16 address;  // ::ffff:a.b.c.d
  unsigned prefix_length;
};

struct test_host {
  mac_address interface_mac;
  // 16 bytes each, IPv4 as ::ffff:a.b.c.d, as the local address map holds them.
  std::vector<address16> local_addresses;
  // Sources whose QUERYs go on to the service, where the egress guard sees the answer.
  std::vector<address_prefix> guarded_sources;
  // The subnets of the IPv4 addresses, whose broadcast addresses are no source to answer.
  std::vector<ipv4_subnet> ipv4_subnets;
  // The VLAN ids the host is on through the interface.
  std::vector<std::uint16_t> vlans;
};

// Two addresses of each family, one of them link-local, so that a frame can
// be for this host at any of several addresses; an IPv4 /24 and a /31 (which
// has no broadcast address); two VLANs, one at the top of the range; the
// guarded ranges as the project's egress guard ruleset has them.
const test_host& example_host();

}  // namespace reflector::xdp::test
