// Replies leave from the local address their request arrived at. The socket
// is bound to the wildcard address, so without help the kernel would pick a
// source of its own, and on a host with several addresses a client or its
// NAT would discard a reply from an address it never sent to.
//
// The receive reports each datagram's destination address as ancillary data
// in the slot's control buffer; reply_from_destination_address turns that,
// in place, into the ancillary data that makes the send use it as source.
//   Linux:   IPV6_RECVPKTINFO; IPv4 destinations come as ::ffff:a.b.c.d in
//            an IPV6_PKTINFO message, which the send honours as it is.
//   FreeBSD: IPV6_ORIGDSTADDR, which a dual-stack socket answers with
//            IPV6_ORIGDSTADDR (struct sockaddr_in6) for IPv6 and with
//            IP_ORIGDSTADDR (struct sockaddr_in) for IPv4; the reply takes
//            IPV6_PKTINFO and IP_SENDSRCADDR respectively.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace reflector {

#if defined(__FreeBSD__)
// The larger of what a receive reports, a whole struct sockaddr_in6.
inline constexpr std::size_t reply_source_space = CMSG_SPACE(sizeof(sockaddr_in6));
#else
inline constexpr std::size_t reply_source_space = CMSG_SPACE(sizeof(in6_pktinfo));
#endif

// One slot's control buffer, aligned as the ancillary-data macros expect.
struct alignas(cmsghdr) reply_source_buffer {
  std::uint8_t bytes[reply_source_space];
};

// Asks the kernel to report each received datagram's destination address.
// Returns 0, or -1 with errno set.
inline int report_destination_address(int fd) noexcept {
  const int on = 1;
#if defined(__FreeBSD__)
  return setsockopt(fd, IPPROTO_IPV6, IPV6_ORIGDSTADDR, &on, sizeof on);
#else
  return setsockopt(fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, &on, sizeof on);
#endif
}

namespace reply_source_detail {

inline bool is_ipv4_mapped(const in6_addr& a) noexcept { return IN6_IS_ADDR_V4MAPPED(&a); }

// IPv4 169.254.0.0/16 and IPv6 fe80::/10: only the interface the request
// came in on reaches the sender, so the reply is tied to it.
inline bool is_link_local(const in6_addr& a) noexcept {
  if (is_ipv4_mapped(a)) return a.s6_addr[12] == 169 && a.s6_addr[13] == 254;
  return a.s6_addr[0] == 0xfe && (a.s6_addr[1] & 0xc0) == 0x80;
}

// A group or broadcast destination is no address to send from; such a reply
// keeps the kernel's choice of source.
inline bool can_be_source(const in6_addr& a) noexcept {
  if (!is_ipv4_mapped(a)) return a.s6_addr[0] != 0xff;
  const std::uint8_t first = a.s6_addr[12];
  const bool broadcast = first == 255 && a.s6_addr[13] == 255 && a.s6_addr[14] == 255 &&
                         a.s6_addr[15] == 255;
  return (first & 0xf0) != 0xe0 && !broadcast;
}

// True when a reply from local to the slot's destination can name local as
// its source: same family, and an address one may send from.
inline bool fits(const in6_addr& local, const msghdr& message) noexcept {
  const auto* destination = static_cast<const sockaddr_in6*>(message.msg_name);
  return is_ipv4_mapped(local) == is_ipv4_mapped(destination->sin6_addr) && can_be_source(local);
}

}  // namespace reply_source_detail

// Rewrites the control data that the receive left in message into the
// control data of its reply, to the destination in message.msg_name: the
// source is the address the request arrived at, and the outgoing interface
// is left to routing unless that address is link-local. When there is no
// such data, or the reply goes to the other family (a FORWARD across
// families), message is left without control data and the kernel chooses.
inline void reply_from_destination_address(msghdr& message) noexcept {
  using namespace reply_source_detail;
  cmsghdr* const c = CMSG_FIRSTHDR(&message);
#if defined(__FreeBSD__)
  if (c != nullptr && c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_ORIGDSTADDR &&
      c->cmsg_len == CMSG_LEN(sizeof(sockaddr_in6))) {
    sockaddr_in6 local;
    std::memcpy(&local, CMSG_DATA(c), sizeof local);
    if (fits(local.sin6_addr, message)) {
      in6_pktinfo info{};
      info.ipi6_addr = local.sin6_addr;
      info.ipi6_ifindex = is_link_local(local.sin6_addr) ? local.sin6_scope_id : 0;
      c->cmsg_type = IPV6_PKTINFO;
      c->cmsg_len = CMSG_LEN(sizeof info);
      std::memcpy(CMSG_DATA(c), &info, sizeof info);
      message.msg_controllen = CMSG_SPACE(sizeof info);
      return;
    }
  } else if (c != nullptr && c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_ORIGDSTADDR &&
             c->cmsg_len == CMSG_LEN(sizeof(sockaddr_in))) {
    sockaddr_in local;
    std::memcpy(&local, CMSG_DATA(c), sizeof local);
    in6_addr mapped{};
    mapped.s6_addr[10] = 0xff;
    mapped.s6_addr[11] = 0xff;
    std::memcpy(&mapped.s6_addr[12], &local.sin_addr, sizeof local.sin_addr);
    if (fits(mapped, message)) {
      c->cmsg_type = IP_SENDSRCADDR;
      c->cmsg_len = CMSG_LEN(sizeof local.sin_addr);
      std::memcpy(CMSG_DATA(c), &local.sin_addr, sizeof local.sin_addr);
      message.msg_controllen = CMSG_SPACE(sizeof local.sin_addr);
      return;
    }
  }
#else
  if (c != nullptr && c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO &&
      c->cmsg_len == CMSG_LEN(sizeof(in6_pktinfo))) {
    auto* const info = reinterpret_cast<in6_pktinfo*>(CMSG_DATA(c));
    if (fits(info->ipi6_addr, message)) {
      if (!is_link_local(info->ipi6_addr)) info->ipi6_ifindex = 0;
      message.msg_controllen = CMSG_SPACE(sizeof(in6_pktinfo));
      return;
    }
  }
#endif
  message.msg_controllen = 0;
}

}  // namespace reflector
