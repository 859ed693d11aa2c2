// The event queue as the workers use it: one level-triggered read
// registration, a wait that reports the descriptor in ident, and failures
// that surface as -1.
#include "platform/event_queue.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

namespace {

struct socket_pair {
  int fds[2] = {-1, -1};
  socket_pair() { socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds); }
  ~socket_pair() {
    close(fds[0]);
    close(fds[1]);
  }
};

struct kevent read_registration(std::uintptr_t ident) {
  struct kevent change{};
  change.ident = ident;
  change.filter = EVFILT_READ;
  change.flags = EV_ADD;
  return change;
}

int wait_now(int kq, struct kevent* events, int room) {
  const timespec no_wait{0, 0};
  return kevent(kq, nullptr, 0, events, room, &no_wait);
}

TEST(EventQueue, ReportsAReadableDescriptorForAsLongAsDataWaits) {
  const int kq = kqueue1(O_CLOEXEC);
  ASSERT_NE(kq, -1);
  EXPECT_EQ(fcntl(kq, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
  socket_pair pair;
  const struct kevent change = read_registration(static_cast<std::uintptr_t>(pair.fds[0]));
  ASSERT_EQ(kevent(kq, &change, 1, nullptr, 0, nullptr), 0);

  struct kevent events[4];
  EXPECT_EQ(wait_now(kq, events, 4), 0);
  ASSERT_EQ(write(pair.fds[1], "x", 1), 1);
  for (int wait = 0; wait < 2; ++wait) {  // level-triggered: still readable
    ASSERT_EQ(kevent(kq, nullptr, 0, events, 4, nullptr), 1);
    EXPECT_EQ(events[0].ident, static_cast<std::uintptr_t>(pair.fds[0]));
  }
  char byte;
  ASSERT_EQ(read(pair.fds[0], &byte, 1), 1);
  EXPECT_EQ(wait_now(kq, events, 4), 0);
  close(kq);
}

TEST(EventQueue, FailedQueueOrInvalidIdentFailsTheRegistration) {
  socket_pair pair;
  const int kq = kqueue1(O_CLOEXEC);
  ASSERT_NE(kq, -1);
  const auto fd = static_cast<std::uintptr_t>(pair.fds[0]);
#if !defined(__FreeBSD__)
  // The Linux stand-in offers read readiness alone and refuses the rest;
  // FreeBSD's kqueue takes a write filter (-2) and EV_CLEAR (0x0020).
  struct kevent wrong_filter = read_registration(fd);
  wrong_filter.filter = -2;
  struct kevent wrong_flags = read_registration(fd);
  wrong_flags.flags = EV_ADD | 0x0020;
#endif
  struct case_ {
    const char* name;
    int queue;
    struct kevent change;
  } cases[] = {
      {"queue -1", -1, read_registration(fd)},
      {"ident -1 widened", kq, read_registration(static_cast<std::uintptr_t>(std::intptr_t{-1}))},
      {"ident above int", kq, read_registration(fd | (std::uintptr_t{1} << 32))},
      {"closed descriptor", kq, read_registration(9999)},
#if !defined(__FreeBSD__)
      {"other filter", kq, wrong_filter},
      {"other flags", kq, wrong_flags},
#endif
  };
  for (const auto& c : cases) {
    EXPECT_EQ(kevent(c.queue, &c.change, 1, nullptr, 0, nullptr), -1) << c.name;
  }
  close(kq);
}

}  // namespace
