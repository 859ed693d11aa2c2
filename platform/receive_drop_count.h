// How many datagrams the kernel dropped at a receiving socket (its queue was
// full, most often), so that a load tool can tell its own drops from losses
// on the way or at the server.
//   Linux:   SO_RXQ_OVFL. Each datagram then carries a SOL_SOCKET record of
//            the same type with the socket's cumulative drop count, a
//            uint32_t, as it was when the datagram was queued; the record is
//            left out while the count is 0. The same count can be read at
//            any time with SO_MEMINFO (its SK_MEMINFO_DROPS entry).
//   FreeBSD: keeps no such count per socket; enabling it fails with
//            ENOPROTOOPT and no datagram says anything.
#pragma once

#include <sys/socket.h>
#if !defined(__FreeBSD__)
#include <linux/sock_diag.h>
#endif

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

namespace reflector {

// The control space one received message needs for its drop count.
#if defined(__FreeBSD__)
inline constexpr std::size_t receive_drop_count_space = 0;
#else
inline constexpr std::size_t receive_drop_count_space = CMSG_SPACE(sizeof(std::uint32_t));
#endif

// Asks the kernel to report fd's drop count with every datagram from now on.
// Returns 0, or -1 with errno set (ENOPROTOOPT: this system has no such count).
inline int enable_receive_drop_count(int fd) noexcept {
#if defined(__FreeBSD__)
  (void)fd;
  errno = ENOPROTOOPT;
  return -1;
#else
  const int on = 1;
  return setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on);
#endif
}

// The socket's drop count as of message, read from its control data after a
// receive on a socket with the count enabled: 0 when there is no record.
// nullopt when the message cannot tell: on a system without the count, or
// when the control buffer was too small or a record is cut short.
inline std::optional<std::uint32_t> receive_drop_count(const msghdr& message) noexcept {
#if defined(__FreeBSD__)
  (void)message;
  return std::nullopt;
#else
  const auto* end = static_cast<const std::uint8_t*>(message.msg_control) + message.msg_controllen;
  for (const cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr;
       c = CMSG_NXTHDR(const_cast<msghdr*>(&message), const_cast<cmsghdr*>(c))) {
    // A record shorter than its header would make the walk stand still.
    if (c->cmsg_len < CMSG_LEN(0)) return std::nullopt;
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SO_RXQ_OVFL) continue;
    if (c->cmsg_len < CMSG_LEN(sizeof(std::uint32_t)) ||
        reinterpret_cast<const std::uint8_t*>(CMSG_DATA(c)) + sizeof(std::uint32_t) > end) {
      return std::nullopt;
    }
    std::uint32_t dropped;
    std::memcpy(&dropped, CMSG_DATA(c), sizeof dropped);
    return dropped;
  }
  // Without room the kernel leaves records out and says only this.
  if ((message.msg_flags & MSG_CTRUNC) != 0) return std::nullopt;
  return 0;
#endif
}

// fd's drop count as it stands now, datagrams dropped after the last one
// received included; nullopt where the system cannot tell.
inline std::optional<std::uint32_t> socket_drop_count(int fd) noexcept {
#if defined(__FreeBSD__)
  (void)fd;
  return std::nullopt;
#else
  std::uint32_t memory[SK_MEMINFO_VARS] = {};
  socklen_t length = sizeof memory;
  if (getsockopt(fd, SOL_SOCKET, SO_MEMINFO, memory, &length) == -1 ||
      length < (SK_MEMINFO_DROPS + 1) * sizeof(std::uint32_t)) {
    return std::nullopt;
  }
  return memory[SK_MEMINFO_DROPS];
#endif
}

}  // namespace reflector
