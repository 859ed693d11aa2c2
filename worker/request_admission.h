// Which received datagrams a worker may answer at all, whatever they hold.
// Before handle_message reads a byte, two kinds are dropped, for a few
// comparisons against the destination report and no system call:
//   - An IPv6 datagram from an IPv4-mapped source (::ffff:127.0.0.1). No
//     IPv6 host has such an address: the reply would leave as IPv4, to this
//     host's loopback or a network behind it, on a port the sender chose.
//   - A datagram sent to a group or to everyone: IPv4 limited broadcast or
//     multicast, IPv6 multicast. Every worker's socket receives it, so each
//     would answer the one request.
// A datagram without its destination report is dropped as well: neither
// can be told without it. The batch reads each report once, here, and
// hands it on to the reply's source.
//
// A source forged to be one of this host's own addresses is not told apart
// here. Its one sign that needs no system call, a source equal to the
// destination, is also what every client on this host sends when it asks
// one of the host's addresses; only the interface it arrived on differs,
// and the egress guard's input rule is what sees that.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "platform/destination_report.h"

namespace reflector {
namespace request_admission_detail {

// address is IPv4-mapped: its IPv4 address's first byte.
inline unsigned char ipv4_first_byte(const in6_addr& address) noexcept {
  return address.s6_addr[12];
}

inline bool is_group_or_everyone(const in6_addr& destination) noexcept {
  if (!IN6_IS_ADDR_V4MAPPED(&destination)) return destination.s6_addr[0] == 0xff;
  static constexpr unsigned char everyone[4] = {0xff, 0xff, 0xff, 0xff};
  return (ipv4_first_byte(destination) & 0xf0) == 0xe0 ||
         std::memcmp(&destination.s6_addr[12], everyone, sizeof everyone) == 0;
}

}  // namespace request_admission_detail

// source: the slot's peer address as the receive left it.
inline bool is_answerable(const in6_addr& source, const reported_destination& destination) noexcept {
  using namespace request_admission_detail;
  if (destination.over_ipv6 && IN6_IS_ADDR_V4MAPPED(&source)) return false;
  return !is_group_or_everyone(destination.address);
}

// The same, reading the report from message; false without one.
inline bool is_answerable(const in6_addr& source, const msghdr& message) noexcept {
  reported_destination destination;
  return read_destination_report(message, destination) && is_answerable(source, destination);
}

}  // namespace reflector
