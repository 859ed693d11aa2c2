// The UDP sockets bound to one local port on this host, with what the
// kernel keeps for each: how much waits in its receive queue, the queue's
// limit, and how many datagrams it dropped because the queue was full.
//   Linux:   NETLINK_SOCK_DIAG with memory information (SK_MEMINFO_*), in
//            the caller's network namespace; any user may list them.
//   FreeBSD: the net.inet.udp.pcblist sysctl. FreeBSD counts full-queue
//            drops for the whole system only (net.inet.udp.stats), so
//            drops is nullopt on every socket.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace reflector {

struct udp_port_socket {
  // What names the socket to socket_owners(): Linux, its inode; FreeBSD,
  // its kernel address.
  std::uint64_t id = 0;
  int family = 0;             // AF_INET or AF_INET6
  std::string local_address;  // as bound, printed: "::", "0.0.0.0", "192.0.2.1"
  std::uint32_t uid = 0;      // the user that created it
  std::uint64_t queued_bytes = 0;          // in the receive queue now
  std::uint64_t receive_buffer_bytes = 0;  // the receive queue's limit
  std::optional<std::uint64_t> drops;      // dropped at a full queue, since it was opened
};

// Every UDP socket, of either family, whose local port is port, in the
// order the system lists them. Throws std::system_error when the system
// will not list its sockets.
std::vector<udp_port_socket> udp_sockets_on_port(std::uint16_t port);

}  // namespace reflector
