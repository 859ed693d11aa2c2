// Load-balanced port sharing: every worker's socket binds the same address
// and port, and the kernel spreads incoming datagrams over the group.
//   FreeBSD: SO_REUSEADDR and SO_REUSEPORT_LB, as the service always set
//            them; the system keeps sockets of other users out of the port.
//   Linux:   SO_REUSEPORT alone forms the group and admits only sockets of
//            the same user. Linux's SO_REUSEADDR would instead let a socket
//            of any user that also sets it bind the port beside the service
//            and take part of its datagrams, so it is not set here.
#pragma once

#include <sys/socket.h>

namespace reflector {

// Sets the sharing options on fd, before bind. Returns 0, or -1 with errno
// set at the first option the system refuses.
inline int enable_port_sharing(int fd) noexcept {
  const int on = 1;
#if defined(__FreeBSD__)
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == -1) return -1;
  return setsockopt(fd, SOL_SOCKET, SO_REUSEPORT_LB, &on, sizeof on);
#else
  return setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
#endif
}

}  // namespace reflector
