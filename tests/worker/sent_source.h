// Reads back the source address a reply's control data gives its send, in
// the form this system's kernel takes it: IPV6_PKTINFO for IPv6 everywhere;
// for IPv4 IP_PKTINFO (a struct in_pktinfo) on Linux and IP_SENDSRCADDR (a
// bare struct in_addr, no interface) on FreeBSD.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstring>
#include <string>

namespace reflector::test {

struct sent_source {
  std::string address;          // as text; empty when c is no source form
  unsigned interface = 0;       // the interface the send is tied to (0: routing's)
  socklen_t control_length = 0; // what msg_controllen must be for this one message
};

// The control length a send of one message carrying size bytes must be
// given. Linux takes the exact length, which keeps the control data within
// its on-stack copy; FreeBSD steps through control data by the padded
// length, so it gets whole padded messages.
inline socklen_t expected_control_length(std::size_t size) {
#if defined(__FreeBSD__)
  return CMSG_SPACE(size);
#else
  return CMSG_LEN(size);
#endif
}

inline sent_source sent_source_of(const cmsghdr& c) {
  sent_source out;
  char text[INET6_ADDRSTRLEN] = "";
  if (c.cmsg_level == IPPROTO_IPV6 && c.cmsg_type == IPV6_PKTINFO &&
      c.cmsg_len == CMSG_LEN(sizeof(in6_pktinfo))) {
    in6_pktinfo info;
    std::memcpy(&info, CMSG_DATA(&c), sizeof info);
    out.interface = info.ipi6_ifindex;
    out.control_length = expected_control_length(sizeof info);
    inet_ntop(AF_INET6, &info.ipi6_addr, text, sizeof text);
#if defined(__FreeBSD__)
  } else if (c.cmsg_level == IPPROTO_IP && c.cmsg_type == IP_SENDSRCADDR &&
             c.cmsg_len == CMSG_LEN(sizeof(in_addr))) {
    in_addr address;
    std::memcpy(&address, CMSG_DATA(&c), sizeof address);
    out.control_length = expected_control_length(sizeof address);
    inet_ntop(AF_INET, &address, text, sizeof text);
#else
  } else if (c.cmsg_level == IPPROTO_IP && c.cmsg_type == IP_PKTINFO &&
             c.cmsg_len == CMSG_LEN(sizeof(in_pktinfo))) {
    in_pktinfo info;
    std::memcpy(&info, CMSG_DATA(&c), sizeof info);
    out.interface = static_cast<unsigned>(info.ipi_ifindex);
    out.control_length = expected_control_length(sizeof info);
    inet_ntop(AF_INET, &info.ipi_spec_dst, text, sizeof text);
#endif
  }
  out.address = text;
  return out;
}

}  // namespace reflector::test
