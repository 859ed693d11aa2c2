#include "platform/event_queue.h"

#include <sys/epoll.h>

#include <cerrno>
#include <climits>

namespace {

// Ready descriptors are collected here before they become kevent records;
// a wait reports at most this many, and the caller simply waits again.
constexpr int wait_chunk = 64;

int timeout_milliseconds(const struct timespec* timeout) {
  if (timeout == nullptr) return -1;
  if (timeout->tv_sec < 0 || timeout->tv_nsec < 0) return 0;
  const long long ms = static_cast<long long>(timeout->tv_sec) * 1000 +
                       (timeout->tv_nsec + 999'999) / 1'000'000;
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

// EV_ADD on a descriptor that is already registered updates it, as it does
// on FreeBSD.
int apply_change(int kq, const struct kevent& change) {
  if (change.filter != EVFILT_READ || change.flags != EV_ADD) {
    errno = EINVAL;
    return -1;
  }
  if (change.ident > static_cast<std::uintptr_t>(INT_MAX)) {
    errno = EBADF;
    return -1;
  }
  const int fd = static_cast<int>(change.ident);
  epoll_event interest{};
  interest.events = EPOLLIN;  // level-triggered, as without EV_CLEAR
  interest.data.u64 = change.ident;
  if (epoll_ctl(kq, EPOLL_CTL_ADD, fd, &interest) == 0) return 0;
  if (errno != EEXIST) return -1;
  return epoll_ctl(kq, EPOLL_CTL_MOD, fd, &interest);
}

int wait_for_events(int kq, struct kevent* eventlist, int nevents,
                    const struct timespec* timeout) {
  epoll_event ready[wait_chunk];
  const int room = nevents < wait_chunk ? nevents : wait_chunk;
  const int count = epoll_wait(kq, ready, room, timeout_milliseconds(timeout));
  for (int i = 0; i < count; ++i) {
    eventlist[i] = {};
    eventlist[i].ident = static_cast<std::uintptr_t>(ready[i].data.u64);
    eventlist[i].filter = EVFILT_READ;
  }
  return count;
}

}  // namespace

int kqueue1(int flags) noexcept {
  if ((flags & ~O_CLOEXEC) != 0) {
    errno = EINVAL;
    return -1;
  }
  return epoll_create1((flags & O_CLOEXEC) != 0 ? EPOLL_CLOEXEC : 0);
}

int kevent(int kq, const struct kevent* changelist, int nchanges, struct kevent* eventlist,
           int nevents, const struct timespec* timeout) noexcept {
  if (nchanges < 0 || nevents < 0) {
    errno = EINVAL;
    return -1;
  }
  for (int i = 0; i < nchanges; ++i) {
    if (apply_change(kq, changelist[i]) == -1) return -1;
  }
  if (nevents == 0) return 0;
  return wait_for_events(kq, eventlist, nevents, timeout);
}
