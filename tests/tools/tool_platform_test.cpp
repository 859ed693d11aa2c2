// What the load tool asks of the system: kernel receive timestamps, socket
// buffers past the defaults, and another process's CPU time. Each against
// the real kernel, plus the parts that only show their worth on a system
// behaving badly (a refused size, a malformed control record) against a
// stand-in.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#if defined(__linux__)
#include <sys/prctl.h>
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/process_cpu_time.h"
#include "platform/receive_timestamps.h"
#include "tests/support/control_records.h"
#include "platform/socket_buffers.h"

namespace reflector {
namespace {

constexpr std::uint64_t millisecond_ns = 1'000'000;

std::uint64_t wall_ns() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u +
         static_cast<std::uint64_t>(now.tv_nsec);
}

class socket_fd {
 public:
  socket_fd(int family) : fd_(socket(family, SOCK_DGRAM, 0)) {}
  socket_fd(const socket_fd&) = delete;
  socket_fd& operator=(const socket_fd&) = delete;
  ~socket_fd() {
    if (fd_ != -1) close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

// ---- receive timestamps, from the kernel ----

struct loopback_path {
  const char* name;
  int receiver_family;
  const char* receiver_address;  // bound, port chosen by the kernel
  int sender_family;
  const char* sender_to;  // the receiver as the sender reaches it
};

void PrintTo(const loopback_path& path, std::ostream* out) { *out << path.name; }

sockaddr_storage address(int family, const char* text, std::uint16_t port) {
  sockaddr_storage storage{};
  if (family == AF_INET) {
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    inet_pton(AF_INET, text, &v4->sin_addr);
  } else {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    inet_pton(AF_INET6, text, &v6->sin6_addr);
  }
  return storage;
}

socklen_t length_of(int family) {
  return family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
}

std::uint16_t bound_port(int fd) {
  sockaddr_storage local{};
  socklen_t length = sizeof local;
  getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
  return ntohs(local.ss_family == AF_INET ? reinterpret_cast<sockaddr_in*>(&local)->sin_port
                                          : reinterpret_cast<sockaddr_in6*>(&local)->sin6_port);
}

// A receiver bound on the loopback and a sender that reaches it, one
// datagram at a time.
class loopback_pair {
 public:
  explicit loopback_pair(const loopback_path& path)
      : path_(path), receiver_(path.receiver_family), sender_(path.sender_family) {
    if (path.receiver_family == AF_INET6) {
      const int off = 0;
      setsockopt(receiver_.get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    }
    const sockaddr_storage local = address(path.receiver_family, path.receiver_address, 0);
    ready_ = receiver_.get() != -1 && sender_.get() != -1 &&
             bind(receiver_.get(), reinterpret_cast<const sockaddr*>(&local),
                  length_of(path.receiver_family)) == 0;
  }

  bool ready() const { return ready_; }
  int receiver() const { return receiver_.get(); }

  bool send() const {
    const sockaddr_storage to =
        address(path_.sender_family, path_.sender_to, bound_port(receiver_.get()));
    const char byte = 'x';
    return sendto(sender_.get(), &byte, 1, 0, reinterpret_cast<const sockaddr*>(&to),
                  length_of(path_.sender_family)) == 1;
  }

 private:
  loopback_path path_;
  socket_fd receiver_;
  socket_fd sender_;
  bool ready_ = false;
};

// Receives one datagram (waiting up to a second) into control, offering the
// kernel control_length bytes of it; the message is left as the kernel
// filled it in.
bool receive_into(int fd, msghdr& message, receive_timestamp_buffer& control,
                  std::size_t control_length) {
  static char byte;
  static iovec vector{&byte, 1};
  message = {};
  message.msg_iov = &vector;
  message.msg_iovlen = 1;
  message.msg_control = control.bytes;
  message.msg_controllen = static_cast<socklen_t>(control_length);
  timeval wait{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  return recvmsg(fd, &message, 0) == 1;
}

class ReceiveTimestamp : public testing::TestWithParam<loopback_path> {};

TEST_P(ReceiveTimestamp, IsTheArrivalOnTheWallClockNotTheRead) {
  const loopback_pair pair(GetParam());
  if (!pair.ready()) GTEST_SKIP() << "no such loopback address here";
  ASSERT_EQ(enable_receive_timestamps(pair.receiver()), 0) << std::strerror(errno);
  // Linux turns arrival stamping on for the whole system by deferred work
  // once the first socket asks; until it has run, datagrams are stamped when
  // read.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));

  const std::uint64_t before = wall_ns();
  ASSERT_TRUE(pair.send());
  const std::uint64_t sent = wall_ns();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  msghdr message;
  receive_timestamp_buffer control;
  ASSERT_TRUE(receive_into(pair.receiver(), message, control, sizeof control.bytes));

  const std::optional<std::uint64_t> stamp = receive_timestamp_ns(message);
  ASSERT_TRUE(stamp.has_value());
  EXPECT_GE(*stamp + millisecond_ns, before);
  EXPECT_LE(*stamp, sent + 25 * millisecond_ns) << "stamped when read, 50 ms after it came";
}

TEST_P(ReceiveTimestamp, NoneWhenNotEnabled) {
  const loopback_pair pair(GetParam());
  if (!pair.ready()) GTEST_SKIP() << "no such loopback address here";
  ASSERT_TRUE(pair.send());
  msghdr message;
  receive_timestamp_buffer control;
  ASSERT_TRUE(receive_into(pair.receiver(), message, control, sizeof control.bytes));
  EXPECT_EQ(receive_timestamp_ns(message), std::nullopt);
}

// Room for the record's header and half a timestamp: the kernel cuts the
// record short, and half a time is no time.
TEST_P(ReceiveTimestamp, NoneWhenTheControlBufferCutsTheRecordShort) {
  const loopback_pair pair(GetParam());
  if (!pair.ready()) GTEST_SKIP() << "no such loopback address here";
  ASSERT_EQ(enable_receive_timestamps(pair.receiver()), 0) << std::strerror(errno);
  ASSERT_TRUE(pair.send());
  msghdr message;
  receive_timestamp_buffer control;
  std::memset(control.bytes, 0x5a, sizeof control.bytes);
  ASSERT_TRUE(receive_into(pair.receiver(), message, control, CMSG_LEN(sizeof(timespec) / 2)));
  EXPECT_EQ(receive_timestamp_ns(message), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(Loopback, ReceiveTimestamp,
                         testing::Values(loopback_path{"ipv4", AF_INET, "127.0.0.1", AF_INET,
                                                       "127.0.0.1"},
                                         loopback_path{"ipv6", AF_INET6, "::1", AF_INET6, "::1"},
                                         loopback_path{"ipv4_on_dual_stack", AF_INET6,
                                                       "::ffff:127.0.0.1", AF_INET, "127.0.0.1"}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- receive timestamps, from control data laid out by hand ----

using test::control_buffer;
using test::control_record;

control_record whole(int level, int type, std::vector<std::uint8_t> data) {
  return test::whole_record(level, type, std::move(data));
}

#if defined(__FreeBSD__)
constexpr int stamp_type = SCM_REALTIME;
#else
constexpr int stamp_type = SCM_TIMESTAMPNS;
#endif

std::vector<std::uint8_t> bytes_of(timespec t) {
  std::vector<std::uint8_t> bytes(sizeof t);
  std::memcpy(bytes.data(), &t, sizeof t);
  return bytes;
}

struct control_case {
  const char* name;
  std::vector<control_record> records;
  std::size_t cut_to;  // control length offered; 0: all the records take
  std::optional<std::uint64_t> expected;
};

void PrintTo(const control_case& c, std::ostream* out) { *out << c.name; }

class ControlData : public testing::TestWithParam<control_case> {};

TEST_P(ControlData, GivesTheStampOnlyFromAWholeRecordOfItsKind) {
  control_buffer buffer(GetParam().records);
  EXPECT_EQ(receive_timestamp_ns(buffer.message(GetParam().cut_to)), GetParam().expected);
}

const timespec some_time{1'700'000'000, 123'456'789};
constexpr std::uint64_t some_time_ns = 1'700'000'000'123'456'789ULL;
const std::vector<std::uint8_t> some_int(sizeof(int), 7);

INSTANTIATE_TEST_SUITE_P(
    Layouts, ControlData,
    testing::Values(
        control_case{
            "stamp_alone", {whole(SOL_SOCKET, stamp_type, bytes_of(some_time))}, 0, some_time_ns},
        control_case{
            "stamp_after_another_record",
            {whole(IPPROTO_IP, 1, some_int), whole(SOL_SOCKET, stamp_type, bytes_of(some_time))},
            0,
            some_time_ns},
        control_case{"no_control_data", {}, 0, std::nullopt},
        control_case{"same_type_at_another_level",
                     {whole(IPPROTO_IP, stamp_type, bytes_of(some_time))},
                     0,
                     std::nullopt},
        control_case{
            "record_shorter_than_a_time",
            {whole(SOL_SOCKET, stamp_type, some_int), whole(IPPROTO_IP, 1, bytes_of(some_time))},
            0,
            std::nullopt},
        control_case{
            "zero_length_record_before_the_stamp",
            {control_record{IPPROTO_IP, 1, {}, 0}, whole(SOL_SOCKET, stamp_type, bytes_of(some_time))},
            0,
            std::nullopt},
        control_case{"record_longer_than_the_buffer_holds",
                     {whole(SOL_SOCKET, stamp_type, bytes_of(some_time))},
                     CMSG_LEN(sizeof(timespec) / 2),
                     std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- socket buffers: the search for a cap the kernel does not tell ----

// A kernel that refuses with ENOBUFS any size above cap and remembers the
// last size it took.
struct capped_kernel {
  int cap;
  int current = -1;
  int calls = 0;
  int operator()(int size) {
    ++calls;
    if (size > cap) {
      errno = ENOBUFS;
      return -1;
    }
    current = size;
    return 0;
  }
};

struct cap_case {
  int requested;
  int cap;
};

class LargestAccepted : public testing::TestWithParam<cap_case> {};

TEST_P(LargestAccepted, EndsWithinAStepBelowTheCapWithTheBufferSetToIt) {
  const auto [requested, cap] = GetParam();
  capped_kernel kernel{cap};
  const int taken = socket_buffers_detail::largest_accepted(requested, kernel);
  const int step = socket_buffers_detail::search_step;
  EXPECT_LE(taken, cap);
  EXPECT_GT(taken, cap - step);
  EXPECT_EQ(kernel.current, taken) << "the last size set is the one reported";
  EXPECT_LE(kernel.calls, 32);
}

INSTANTIATE_TEST_SUITE_P(Caps, LargestAccepted,
                         testing::Values(cap_case{4 << 20, (4 << 20) - 1},
                                         cap_case{4 << 20, 1'864'135},  // 2 MiB less bookkeeping
                                         cap_case{4 << 20, 40'000}, cap_case{INT_MAX, 2 << 20},
                                         cap_case{100'000, 99'000}));

TEST(LargestAcceptedRefusals, NoneTakenWhenEvenOneStepIsTooLarge) {
  capped_kernel kernel{socket_buffers_detail::search_step / 2};
  EXPECT_EQ(socket_buffers_detail::largest_accepted(4 << 20, kernel), 0);
  EXPECT_EQ(kernel.current, -1);
}

TEST(LargestAcceptedRefusals, AnyOtherRefusalEndsTheSearchWithItsError) {
  int calls = 0;
  const auto refusing = [&](int) {
    ++calls;
    errno = EINVAL;
    return -1;
  };
  EXPECT_EQ(socket_buffers_detail::largest_accepted(4 << 20, refusing), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(calls, 1);
}

// ---- socket buffers, on a real socket ----

int reported_size(int fd, socket_buffer which) {
  int size = 0;
  socklen_t length = sizeof size;
  getsockopt(fd, SOL_SOCKET, which == socket_buffer::receive ? SO_RCVBUF : SO_SNDBUF, &size,
             &length);
  return size;
}

// What getsockopt reports after a size was set: Linux counts its bookkeeping
// in, twice what was asked.
int report_for(int bytes) {
#if defined(__linux__)
  return 2 * bytes;
#else
  return bytes;
#endif
}

class SocketBuffer : public testing::TestWithParam<socket_buffer> {};

TEST_P(SocketBuffer, ASizeBelowTheCapIsSetAsAsked) {
  const socket_fd fd(AF_INET6);
  ASSERT_NE(fd.get(), -1);
  const int bytes = 96 * 1024;
  ASSERT_EQ(set_socket_buffer(fd.get(), GetParam(), bytes), 0) << std::strerror(errno);
  EXPECT_EQ(reported_size(fd.get(), GetParam()), report_for(bytes));
}

TEST_P(SocketBuffer, ASizeAboveTheCapReachesAtLeastTheCap) {
  const socket_fd fd(AF_INET6);
  ASSERT_NE(fd.get(), -1);
  const int requested = 256 << 20;
  ASSERT_EQ(set_socket_buffer(fd.get(), GetParam(), requested), 0) << std::strerror(errno);
  const int reported = reported_size(fd.get(), GetParam());
#if defined(__linux__)
  int cap = 0;
  std::ifstream(GetParam() == socket_buffer::receive ? "/proc/sys/net/core/rmem_max"
                                                     : "/proc/sys/net/core/wmem_max") >>
      cap;
  ASSERT_GT(cap, 0);
  EXPECT_GE(reported, report_for(std::min(cap, requested)));
  const socket_fd probe(AF_INET6);
  int small = 64 * 1024;
  if (setsockopt(probe.get(), SOL_SOCKET, SO_RCVBUFFORCE, &small, sizeof small) == 0) {
    EXPECT_EQ(reported, report_for(requested)) << "this process may go past the cap";
  }
#else
  // Nothing tells the cap in the kernel's units; one step more must be
  // refused, unless the whole request was taken.
  if (reported < requested) {
    int more = reported + socket_buffers_detail::search_step;
    EXPECT_EQ(setsockopt(fd.get(), SOL_SOCKET,
                         GetParam() == socket_buffer::receive ? SO_RCVBUF : SO_SNDBUF, &more,
                         sizeof more),
              -1)
        << "stopped at " << reported << " with room above";
  }
#endif
}

INSTANTIATE_TEST_SUITE_P(Directions, SocketBuffer,
                         testing::Values(socket_buffer::receive, socket_buffer::send),
                         [](const auto& info) {
                           return info.param == socket_buffer::receive ? "receive" : "send";
                         });

// ---- process CPU time ----

double thread_cpu_seconds() {
  timespec used{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
  return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) / 1e9;
}

void burn_cpu(double seconds) {
  const double until = thread_cpu_seconds() + seconds;
  volatile std::uint64_t sink = 0;
  while (thread_cpu_seconds() < until) {
    for (int k = 0; k < 10'000; ++k) sink = sink + static_cast<std::uint64_t>(k);
  }
}

double own_rusage_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Linux counts in clock ticks, a hundredth of a second on most systems.
constexpr double resolution = 0.03;

TEST(ProcessCpuTime, OwnProcessAgreesWithItsResourceUsage) {
  burn_cpu(0.1);
  const std::optional<double> seen = process_cpu_seconds(getpid());
  const double own = own_rusage_seconds();
  ASSERT_TRUE(seen.has_value());
  EXPECT_NEAR(*seen, own, resolution);
}

TEST(ProcessCpuTime, CountsTheWorkOfAnotherThreadAfterItEnds) {
  const std::optional<double> before = process_cpu_seconds(getpid());
  ASSERT_TRUE(before.has_value());
  std::thread([] { burn_cpu(0.3); }).join();
  const std::optional<double> after = process_cpu_seconds(getpid());
  ASSERT_TRUE(after.has_value());
  EXPECT_GE(*after - *before, 0.3 - resolution);
  EXPECT_LT(*after - *before, 0.3 + 0.2);
}

#if defined(__linux__)
// The kernel quotes the command name between parentheses, unescaped.
TEST(ProcessCpuTime, ACommandNameThatLooksLikeFieldsChangesNothing) {
  char saved[16] = {};
  ASSERT_EQ(prctl(PR_GET_NAME, saved), 0);
  ASSERT_EQ(prctl(PR_SET_NAME, "x) R 1 2 3 ) 9"), 0);
  burn_cpu(0.05);
  const std::optional<double> seen = process_cpu_seconds(getpid());
  const double own = own_rusage_seconds();
  prctl(PR_SET_NAME, saved);
  ASSERT_TRUE(seen.has_value());
  EXPECT_NEAR(*seen, own, resolution);
}
#endif

// A child that spins until it is killed.
pid_t spinning_child() {
  const pid_t pid = fork();
  if (pid == 0) {
    volatile std::uint64_t k = 0;
    for (;;) k = k + 1;
  }
  return pid;
}

TEST(ProcessCpuTime, AnotherProcessIsReadWhileItRunsAndNotOnceReaped) {
  const pid_t child = spinning_child();
  ASSERT_GT(child, 0);
  const std::optional<double> early = process_cpu_seconds(child);
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  const std::optional<double> later = process_cpu_seconds(child);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  ASSERT_TRUE(early.has_value());
  ASSERT_TRUE(later.has_value());
  // It may share its CPU with others, but not be starved all the while.
  EXPECT_GT(*later - *early, 0.1);
  EXPECT_EQ(process_cpu_seconds(child), std::nullopt) << "pid " << child << " after reaping";
  const std::optional<double> own = process_cpu_seconds(getpid());
  ASSERT_TRUE(own.has_value());
  EXPECT_NEAR(*own, own_rusage_seconds(), resolution) << "the reaped child's time is not ours";
}

class NoSuchProcess : public testing::TestWithParam<pid_t> {};

TEST_P(NoSuchProcess, GivesNothing) { EXPECT_EQ(process_cpu_seconds(GetParam()), std::nullopt); }

INSTANTIATE_TEST_SUITE_P(Pids, NoSuchProcess, testing::Values(0, -1, INT_MIN, INT_MAX));

}  // namespace
}  // namespace reflector
