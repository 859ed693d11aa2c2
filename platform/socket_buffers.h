// Socket buffer sizes beyond the system's defaults, for sockets that must
// absorb bursts of many datagrams. The administrator caps what a plain
// request gets, and the systems differ in how they say so:
//   Linux:   a privileged process (CAP_NET_ADMIN) may go past the cap with
//            SO_RCVBUFFORCE and SO_SNDBUFFORCE; a plain SO_RCVBUF or
//            SO_SNDBUF above net.core.rmem_max or wmem_max is cut down to it
//            without an error.
//   FreeBSD: nothing goes past kern.ipc.maxsockbuf, and a plain request above
//            it (less the kernel's bookkeeping share) fails with ENOBUFS and
//            leaves the buffer as it was.
#pragma once

#include <sys/socket.h>

#include <cerrno>

namespace reflector {

enum class socket_buffer { receive, send };

namespace socket_buffers_detail {

// Granularity of the search for the cap: a few pages.
inline constexpr int search_step = 16 * 1024;

// The largest size up to bytes that accept(size) takes, when accept(bytes)
// has already been refused as too large: a bisection, since the cap is not
// something a process can read off in the units the kernel compares. accept
// returns 0, or -1 with errno set (ENOBUFS: too large). Returns the size
// taken, 0 when none was, or -1 with errno on any other refusal.
template <typename Accept>
int largest_accepted(int bytes, Accept&& accept) noexcept {
  int taken = 0;
  int refused = bytes;
  while (refused - taken > search_step) {
    const int size = taken + (refused - taken) / 2;
    if (accept(size) == 0) {
      taken = size;
    } else if (errno == ENOBUFS) {
      refused = size;
    } else {
      return -1;
    }
  }
  return taken;
}

inline int set_plain(int fd, socket_buffer which, int bytes) noexcept {
  const int option = which == socket_buffer::receive ? SO_RCVBUF : SO_SNDBUF;
  return setsockopt(fd, SOL_SOCKET, option, &bytes, sizeof bytes);
}

}  // namespace socket_buffers_detail

// Sets fd's receive or send buffer to bytes (above 0) or as close below it as
// the system allows: past the cap where the process may force it (Linux,
// with privilege), else up to the cap. Returns 0 once the buffer has its
// size; -1 with errno set when the system took no size at all (ENOBUFS if
// even the smallest step was too large), the buffer then as it was.
inline int set_socket_buffer(int fd, socket_buffer which, int bytes) noexcept {
  using namespace socket_buffers_detail;
#if !defined(__FreeBSD__)
  const int forced = which == socket_buffer::receive ? SO_RCVBUFFORCE : SO_SNDBUFFORCE;
  if (setsockopt(fd, SOL_SOCKET, forced, &bytes, sizeof bytes) == 0) return 0;
#endif
  if (set_plain(fd, which, bytes) == 0) return 0;
  if (errno != ENOBUFS) return -1;
  const int taken = largest_accepted(bytes, [&](int size) { return set_plain(fd, which, size); });
  if (taken > 0) return 0;
  if (taken == 0) errno = ENOBUFS;
  return -1;
}

}  // namespace reflector
