// The special-purpose ranges of the egress guard's nftables ruleset, read
// from the ruleset itself. A reply the fast path sends never meets the
// guard, so a QUERY from one of these ranges must be left to the kernel and
// the service: the oracle takes the ranges from here, and the program must
// be in step with them.
#pragma once

#include <string>
#include <vector>

#include "tests/support/addresses.h"

namespace reflector::xdp::test {

using reflector::test::address16;

struct address_prefix {
  bool ipv4 = false;
  address16 first{};  // IPv4 as ::ffff:a.b.c.d
  unsigned bits = 0;  // of the 16-byte form: an IPv4 /10 is /106

  bool contains(const address16& address) const;
  address16 last() const;
};

// The elements of the sets special_ipv4 and special_ipv6. Throws
// std::runtime_error when the file or either set cannot be read.
std::vector<address_prefix> egress_guard_ranges(const std::string& ruleset_path);

// The first and last address of the prefix and the one just outside each
// end; for an IPv4 prefix only those that are still IPv4 addresses.
std::vector<address16> edges_of(const address_prefix& prefix);

}  // namespace reflector::xdp::test
