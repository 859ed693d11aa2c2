// The address each received datagram was sent to, which the kernel reports
// beside it as ancillary data in the slot's control buffer: IPV6_ORIGDSTADDR
// (a struct sockaddr_in6) for IPv6, and IP_ORIGDSTADDR (a struct
// sockaddr_in) for IPv4, which the dual-stack socket gives for IPv4-mapped
// traffic. Which of the two came also says in which family the datagram
// travelled, which its IPv4-mapped source alone does not.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstring>

namespace reflector {

// Asks the kernel to report each received datagram's destination address,
// for both families. Returns 0, or -1 with errno set.
inline int report_destination_address(int fd) noexcept {
  const int on = 1;
#if defined(__FreeBSD__)
  // One flag serves both: a dual-stack socket answers IPv4 datagrams with
  // IP_ORIGDSTADDR.
  return setsockopt(fd, IPPROTO_IPV6, IPV6_ORIGDSTADDR, &on, sizeof on);
#else
  if (setsockopt(fd, IPPROTO_IPV6, IPV6_RECVORIGDSTADDR, &on, sizeof on) == -1) return -1;
  return setsockopt(fd, IPPROTO_IP, IP_RECVORIGDSTADDR, &on, sizeof on);
#endif
}

struct reported_destination {
  in6_addr address;        // IPv4 as ::ffff:a.b.c.d, as the slot's peer holds it
  std::uint32_t scope_id;  // the arrival interface, for a link-local IPv6 address
  bool over_ipv6;          // false: an IPv4 datagram on the dual-stack socket
};

// Reads the report a receive left first in message's control data. False
// when there is none of either form.
inline bool read_destination_report(const msghdr& message, reported_destination& out) noexcept {
  const cmsghdr* const c = CMSG_FIRSTHDR(&message);
  if (c == nullptr) return false;
  if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_ORIGDSTADDR &&
      c->cmsg_len == CMSG_LEN(sizeof(sockaddr_in6))) {
    sockaddr_in6 local;
    std::memcpy(&local, CMSG_DATA(c), sizeof local);
    out.address = local.sin6_addr;
    out.scope_id = local.sin6_scope_id;
    out.over_ipv6 = true;
    return true;
  }
  if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_ORIGDSTADDR &&
      c->cmsg_len == CMSG_LEN(sizeof(sockaddr_in))) {
    sockaddr_in local;
    std::memcpy(&local, CMSG_DATA(c), sizeof local);
    std::memset(&out.address, 0, sizeof out.address);
    out.address.s6_addr[10] = 0xff;
    out.address.s6_addr[11] = 0xff;
    std::memcpy(&out.address.s6_addr[12], &local.sin_addr, sizeof local.sin_addr);
    out.scope_id = 0;
    out.over_ipv6 = false;
    return true;
  }
  return false;
}

}  // namespace reflector
