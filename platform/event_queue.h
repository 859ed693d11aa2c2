// Kernel event queues: kqueue1, struct kevent and kevent, as FreeBSD has
// them. On Linux they stand on epoll and offer only what the workers use:
// level-triggered read readiness of a descriptor, and a wait that reports
// the ready descriptors in `ident`.
#pragma once

#if defined(__FreeBSD__)

#include <sys/event.h>

#else

#include <fcntl.h>
#include <time.h>

#include <cstdint>

// The FreeBSD layout on x86-64: 64 bytes, ident first.
struct kevent {
  std::uintptr_t ident;
  short filter;
  unsigned short flags;
  unsigned int fflags;
  std::int64_t data;
  void* udata;
  std::uint64_t ext[4];
};
static_assert(sizeof(struct kevent) == 64);

inline constexpr short EVFILT_READ = -1;
inline constexpr unsigned short EV_ADD = 0x0001;

// A new event queue; flags may hold O_CLOEXEC and nothing else.
// Returns the queue descriptor, or -1 with errno set.
int kqueue1(int flags) noexcept;

// Applies the nchanges records of changelist in order, then, if nevents is
// above 0, waits until a registered descriptor is ready or the timeout
// (null: none) passes, and fills up to nevents records of eventlist.
// A change must be EVFILT_READ with EV_ADD alone; any failing change makes
// the call return -1 at once. Returns the number of
// records filled, 0 on timeout or when nevents is 0, -1 with errno set.
int kevent(int kq, const struct kevent* changelist, int nchanges, struct kevent* eventlist,
           int nevents, const struct timespec* timeout) noexcept;

#endif
