// What the fast path must do with one frame, worked out independently of
// its BPF program: the verdict, its reason and family, and for an answered
// QUERY the frame that goes back out. The reply itself comes from the
// protocol's own handle_message, the reference for what a reply must be.
// Sources in the host's guarded ranges (the egress guard's) and the
// broadcast addresses of its subnets count as bad sources, as the ones that
// must never be answered do; a VLAN the host is not on, like a group
// destination, makes a frame not the host's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/xdp/fast_path_layout.h"
#include "tests/xdp/internet_checksum.h"
#include "tests/xdp/test_host.h"

namespace reflector::xdp::test {

// The XDP return codes, as BPF_PROG_TEST_RUN reports them.
enum class xdp_verdict : std::uint32_t { drop = 1, pass = 2, tx = 3 };

// What an answered frame's UDP checksum field must hold.
enum class reply_checksum {
  absent,  // IPv4 without a checksum: still 0
  exact,   // the request's verified: the reply's, computed afresh
  invalid  // the request's did not verify: the reply's must not either
};

struct prediction {
  xdp_verdict verdict = xdp_verdict::pass;
  fast_path_reason reason = reason_passed_other;
  fast_path_family family = family_other;

  // For an answered QUERY (verdict tx): the whole frame sent back, its UDP
  // checksum field as the checksum rule below fixes it (for `invalid`, the
  // request's, since any failing value will do).
  std::vector<std::uint8_t> reply;
  udp_location datagram;
  reply_checksum checksum = reply_checksum::absent;
  // The IPv4 header's offset when its checksum verified in the request.
  std::optional<std::size_t> verified_ipv4_header;

  // Not empty when handle_message contradicts the verdict the rules give a
  // payload (one of them is wrong, and the test with it).
  std::string handler_conflict;
};

prediction predict(std::span<const std::uint8_t> frame, const test_host& host);

const char* name_of(xdp_verdict verdict);
const char* name_of(fast_path_reason reason);
const char* name_of(fast_path_family family);

}  // namespace reflector::xdp::test
