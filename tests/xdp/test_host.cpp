#include "tests/xdp/test_host.h"

namespace reflector::xdp::test {

const test_host& example_host() {
  static const test_host host{
      {0x02, 0x5e, 0x12, 0x13, 0x00, 0x01},
      {address_of("192.0.2.10"), address_of("198.51.100.7"), address_of("2001:db8::10"),
       address_of("fe80::5e:12ff:fe13:1")},
      egress_guard_ranges(REFLECTOR_EGRESS_RULESET),
      {{address_of("192.0.2.10"), 24}, {address_of("198.51.100.7"), 31}},
      {100, 4094}};
  return host;
}

}  // namespace reflector::xdp::test
