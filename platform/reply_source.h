// Replies leave from the local address their request arrived at. The socket
// is bound to the wildcard address, so without help the kernel would pick a
// source of its own, and on a host with several addresses a client or its
// NAT would discard a reply from an address it never sent to.
//
// The receive reports each datagram's destination in the slot's control
// buffer (platform/destination_report.h). reply_from_destination_address
// then rewrites that report, in place, into what makes the send use the address
// as its source: IPV6_PKTINFO for IPv6; for IPv4 IP_PKTINFO on Linux and
// IP_SENDSRCADDR on FreeBSD.
//
// Linux also offers IPV6_RECVPKTINFO for both families, but for IPv4 it makes
// the kernel look up a route for every datagram received, for a field the
// reply never uses; the destination reports cost no lookup.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/destination_report.h"

namespace reflector {

// The larger of the two reports, a whole struct sockaddr_in6; every send
// form is smaller.
inline constexpr std::size_t reply_source_space = CMSG_SPACE(sizeof(sockaddr_in6));

// Lets a reply leave from an address the host answers for only through a
// local route (`ip -6 route add local 2001:db8:2::/64 dev lo`, as anycast
// hosts do), which is on no interface: Linux refuses such an IPv6 source
// unless the socket may use addresses it does not hold. The sources it is
// given are only the destinations its own receives report, so this widens
// nothing else. FreeBSD's equivalent (IPV6_BINDANY) takes a privilege the
// service does not have; there it is left as it is. Returns 0, or -1 with
// errno set.
inline int allow_local_route_sources(int fd) noexcept {
#if defined(__FreeBSD__)
  (void)fd;
  return 0;
#else
  // One flag, shared by both families; IPV6_FREEBIND is its newer name.
  const int on = 1;
  return setsockopt(fd, IPPROTO_IP, IP_FREEBIND, &on, sizeof on);
#endif
}

// One slot's control buffer, aligned as the ancillary-data macros expect.
struct alignas(cmsghdr) reply_source_buffer {
  std::uint8_t bytes[reply_source_space];
};

namespace reply_source_detail {

inline bool goes_to_ipv4(const msghdr& message) noexcept {
  const auto* destination = static_cast<const sockaddr_in6*>(message.msg_name);
  return IN6_IS_ADDR_V4MAPPED(&destination->sin6_addr);
}

// The control length a send is given for one message of size bytes. Linux
// copies up to CMSG_LEN(sizeof(in6_pktinfo)) of control data on the stack
// and allocates for anything longer, so it gets the exact length rather
// than the padded one.
inline constexpr socklen_t send_control_length(std::size_t size) noexcept {
#if defined(__FreeBSD__)
  return CMSG_SPACE(size);
#else
  return CMSG_LEN(size);
#endif
}

// A group or broadcast destination is no address to send from; such a reply
// keeps the kernel's choice of source.
inline bool can_be_source(const in6_addr& a) noexcept { return a.s6_addr[0] != 0xff; }

inline bool can_be_source(const in_addr& a) noexcept {
  const std::uint32_t host_order = ntohl(a.s_addr);
  return (host_order >> 28) != 0xe && host_order != 0xffffffff;
}

inline in_addr ipv4_of(const in6_addr& mapped) noexcept {
  in_addr a;
  std::memcpy(&a, &mapped.s6_addr[12], sizeof a);
  return a;
}

// fe80::/10: only the interface the request came in on reaches the sender,
// so the reply is tied to it; any other reply's interface is routing's.
inline void write_ipv6_source(cmsghdr& c, msghdr& message,
                              const reported_destination& local) noexcept {
  in6_pktinfo info{};
  info.ipi6_addr = local.address;
  info.ipi6_ifindex = IN6_IS_ADDR_LINKLOCAL(&local.address) ? local.scope_id : 0;
  c.cmsg_level = IPPROTO_IPV6;
  c.cmsg_type = IPV6_PKTINFO;
  c.cmsg_len = CMSG_LEN(sizeof info);
  std::memcpy(CMSG_DATA(&c), &info, sizeof info);
  message.msg_controllen = send_control_length(sizeof info);
}

inline void write_ipv4_source(cmsghdr& c, msghdr& message, const in_addr& local) noexcept {
  c.cmsg_level = IPPROTO_IP;
#if defined(__FreeBSD__)
  c.cmsg_type = IP_SENDSRCADDR;
  c.cmsg_len = CMSG_LEN(sizeof local);
  std::memcpy(CMSG_DATA(&c), &local, sizeof local);
  message.msg_controllen = send_control_length(sizeof local);
#else
  in_pktinfo info{};
  info.ipi_spec_dst = local;
  c.cmsg_type = IP_PKTINFO;
  c.cmsg_len = CMSG_LEN(sizeof info);
  std::memcpy(CMSG_DATA(&c), &info, sizeof info);
  message.msg_controllen = send_control_length(sizeof info);
#endif
}

}  // namespace reply_source_detail

// Rewrites the destination report that the receive left in message, already
// read into local, into the control data of its reply, to the destination
// in message.msg_name: the source is the address the request arrived at.
// When the reply goes to the other family (a FORWARD across families), or
// the address is a group's, message is left without control data and the
// kernel chooses.
inline void reply_from_destination_address(msghdr& message,
                                           const reported_destination& local) noexcept {
  using namespace reply_source_detail;
  if (local.over_ipv6 != goes_to_ipv4(message)) {
    cmsghdr& c = *CMSG_FIRSTHDR(&message);
    if (local.over_ipv6 && can_be_source(local.address)) {
      write_ipv6_source(c, message, local);
      return;
    }
    if (!local.over_ipv6 && can_be_source(ipv4_of(local.address))) {
      write_ipv4_source(c, message, ipv4_of(local.address));
      return;
    }
  }
  message.msg_controllen = 0;
}

// The same, reading the report from message; without one the kernel chooses.
inline void reply_from_destination_address(msghdr& message) noexcept {
  reported_destination local;
  if (read_destination_report(message, local)) {
    reply_from_destination_address(message, local);
  } else {
    message.msg_controllen = 0;
  }
}

}  // namespace reflector
