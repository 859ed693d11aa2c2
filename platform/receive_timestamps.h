// Kernel receive timestamps: the wall-clock time (CLOCK_REALTIME) at which
// the kernel took in each datagram, delivered as ancillary data with it, so
// that a measured latency does not include the time the reader took to get
// round to the socket.
//   Linux:   SO_TIMESTAMPNS, delivered as SCM_TIMESTAMPNS.
//   FreeBSD: SO_TIMESTAMP on the SO_TS_REALTIME clock, delivered as
//            SCM_REALTIME. A card that stamps in hardware adds an
//            SCM_TIME_INFO record after it, which the space below allows for.
// Both carry a struct timespec, for IPv4, IPv6 and IPv4-mapped datagrams.
#pragma once

#include <sys/socket.h>
#include <time.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

namespace reflector {

// The control space one received message needs for its timestamp.
#if defined(__FreeBSD__)
inline constexpr std::size_t receive_timestamp_space =
    CMSG_SPACE(sizeof(timespec)) + CMSG_SPACE(sizeof(sock_timestamp_info));
#else
inline constexpr std::size_t receive_timestamp_space = CMSG_SPACE(sizeof(timespec));
#endif

// One message's control buffer, aligned as the ancillary-data macros expect.
struct alignas(cmsghdr) receive_timestamp_buffer {
  std::uint8_t bytes[receive_timestamp_space];
};

// Asks the kernel to stamp every datagram fd receives from now on.
// Returns 0, or -1 with errno set; the socket then carries no stamps.
inline int enable_receive_timestamps(int fd) noexcept {
  const int on = 1;
#if defined(__FreeBSD__)
  const int clock = SO_TS_REALTIME;
  if (setsockopt(fd, SOL_SOCKET, SO_TS_CLOCK, &clock, sizeof clock) == -1) return -1;
  return setsockopt(fd, SOL_SOCKET, SO_TIMESTAMP, &on, sizeof on);
#else
  return setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
#endif
}

// The arrival time, in nanoseconds since the epoch, that the kernel left in
// the control data of message after a receive. nullopt when there is none:
// stamps not enabled, the control buffer too small, or a record cut short.
inline std::optional<std::uint64_t> receive_timestamp_ns(const msghdr& message) noexcept {
#if defined(__FreeBSD__)
  constexpr int stamp_type = SCM_REALTIME;
#else
  constexpr int stamp_type = SCM_TIMESTAMPNS;
#endif
  for (const cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr;
       c = CMSG_NXTHDR(const_cast<msghdr*>(&message), const_cast<cmsghdr*>(c))) {
    // A record shorter than its header would make the walk stand still.
    if (c->cmsg_len < CMSG_LEN(0)) return std::nullopt;
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != stamp_type) continue;
    // A record the buffer cut short keeps, on FreeBSD, its full length.
    const auto* end =
        static_cast<const std::uint8_t*>(message.msg_control) + message.msg_controllen;
    if (c->cmsg_len < CMSG_LEN(sizeof(timespec)) ||
        reinterpret_cast<const std::uint8_t*>(CMSG_DATA(c)) + sizeof(timespec) > end) {
      return std::nullopt;
    }
    timespec stamp;
    std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
    return static_cast<std::uint64_t>(stamp.tv_sec) * 1'000'000'000u +
           static_cast<std::uint64_t>(stamp.tv_nsec);
  }
  return std::nullopt;
}

}  // namespace reflector
