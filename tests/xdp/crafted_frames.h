// Frames made by hand, one rule or one edge each: every message type and
// length edge, each header check, and the order in which the checks meet.
// Each is built over IPv4 and IPv6, tagged and untagged, wherever it makes
// sense, and says which reason it is meant to reach.
#pragma once

#include <string>
#include <vector>

#include "platform/xdp/fast_path_layout.h"
#include "tests/xdp/test_host.h"

namespace reflector::xdp::test {

struct crafted_frame {
  std::string name;
  std::vector<std::uint8_t> bytes;
  fast_path_reason intended_reason;
  fast_path_family intended_family;
};

std::vector<crafted_frame> crafted_frames(const test_host& host);

}  // namespace reflector::xdp::test
