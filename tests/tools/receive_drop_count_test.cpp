// The drop count of a receiving socket, which lets the load tool tell its
// own drops from losses elsewhere: against the real kernel, with a queue
// made small enough to overflow, and against control data laid out by hand.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/receive_drop_count.h"
#include "platform/receive_timestamps.h"
#include "tests/support/control_records.h"
#include "tools/reflect_bench/datagram_batch.h"

namespace reflector {
namespace {

#if defined(__linux__)

class socket_fd {
 public:
  socket_fd() : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
  socket_fd(const socket_fd&) = delete;
  socket_fd& operator=(const socket_fd&) = delete;
  ~socket_fd() {
    if (fd_ != -1) close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

sockaddr_in loopback(std::uint16_t port_network_order) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = port_network_order;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// A receiver on 127.0.0.1 whose queue holds only a few datagrams, with its
// drop count (and receive timestamps) enabled, and a sender aimed at it.
class small_queue {
 public:
  small_queue() {
    const int bytes = 1;  // the kernel raises it to its smallest queue
    setsockopt(receiver_.get(), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    sockaddr_in local = loopback(0);
    socklen_t length = sizeof local;
    ready_ = bind(receiver_.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0 &&
             getsockname(receiver_.get(), reinterpret_cast<sockaddr*>(&local), &length) == 0 &&
             enable_receive_drop_count(receiver_.get()) == 0 &&
             enable_receive_timestamps(receiver_.get()) == 0;
    port_ = local.sin_port;
  }

  bool ready() const { return ready_; }
  int receiver() const { return receiver_.get(); }

  // Sends count datagrams of 40 bytes and gives the kernel time to queue
  // (or drop) them all.
  bool send(int count) const {
    const sockaddr_in to = loopback(port_);
    const auto* address = reinterpret_cast<const sockaddr*>(&to);
    const std::uint8_t datagram[40]{};
    for (int i = 0; i < count; ++i) {
      if (sendto(sender_.get(), datagram, sizeof datagram, 0, address, sizeof to) !=
          static_cast<ssize_t>(sizeof datagram)) {
        return false;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return true;
  }

 private:
  socket_fd receiver_;
  socket_fd sender_;
  std::uint16_t port_ = 0;
  bool ready_ = false;
};

struct received {
  bool got = false;
  std::optional<std::uint32_t> dropped;
};

// Receives one datagram without waiting, offering control_length bytes of
// control space.
received receive_one(int fd, std::size_t control_length) {
  struct alignas(cmsghdr) {
    std::uint8_t bytes[256];
  } control{};
  std::uint8_t byte[64];
  iovec vector{byte, sizeof byte};
  msghdr message{};
  message.msg_iov = &vector;
  message.msg_iovlen = 1;
  message.msg_control = control.bytes;
  message.msg_controllen = static_cast<socklen_t>(control_length);
  if (recvmsg(fd, &message, MSG_DONTWAIT) < 0) return {};
  return {true, receive_drop_count(message)};
}

// Reads everything queued; returns how many there were.
int receive_all(int fd) {
  int count = 0;
  while (receive_one(fd, 256).got) ++count;
  return count;
}

constexpr int flood = 100;
constexpr std::size_t room_for_both = receive_timestamp_space + receive_drop_count_space;

TEST(ReceiveDropCount, ZeroWhileNothingWasDropped) {
  const small_queue queue;
  ASSERT_TRUE(queue.ready()) << std::strerror(errno);
  ASSERT_TRUE(queue.send(1));
  const received one = receive_one(queue.receiver(), room_for_both);
  ASSERT_TRUE(one.got);
  EXPECT_EQ(one.dropped, 0u);
}

// What overflowed the queue is reported with the next datagram it takes in.
TEST(ReceiveDropCount, IsWhatAFullQueueDroppedUpToTheDatagram) {
  const small_queue queue;
  ASSERT_TRUE(queue.ready()) << std::strerror(errno);
  ASSERT_TRUE(queue.send(flood));
  const int queued = receive_all(queue.receiver());
  ASSERT_GT(queued, 0);
  ASSERT_LT(queued, flood) << "the queue should have overflowed";
  ASSERT_TRUE(queue.send(1));
  const received next = receive_one(queue.receiver(), room_for_both);
  ASSERT_TRUE(next.got);
  EXPECT_EQ(next.dropped, static_cast<std::uint32_t>(flood - queued));
}

// Read from the socket itself, the count includes what was dropped after
// the last datagram received, which no datagram can report.
TEST(ReceiveDropCount, TheSocketHoldsDropsNoDatagramReported) {
  const small_queue queue;
  ASSERT_TRUE(queue.ready()) << std::strerror(errno);
  EXPECT_EQ(socket_drop_count(queue.receiver()), 0u);
  ASSERT_TRUE(queue.send(flood));
  const int queued = receive_all(queue.receiver());
  ASSERT_LT(queued, flood) << "the queue should have overflowed";
  EXPECT_EQ(socket_drop_count(queue.receiver()), static_cast<std::uint32_t>(flood - queued));
}

// With room for the timestamp only, the kernel leaves the count out and
// says so; that is no count, not a count of 0.
TEST(ReceiveDropCount, NoneWhenTheControlBufferHasNoRoomForIt) {
  const small_queue queue;
  ASSERT_TRUE(queue.ready()) << std::strerror(errno);
  ASSERT_TRUE(queue.send(flood));
  receive_all(queue.receiver());
  ASSERT_TRUE(queue.send(1));
  const received next = receive_one(queue.receiver(), receive_timestamp_space);
  ASSERT_TRUE(next.got);
  EXPECT_EQ(next.dropped, std::nullopt);
}

// The load tool's batch has room for both records on each datagram.
TEST(ReceiveDropCount, ABatchCarriesTheStampAndTheCountTogether) {
  const small_queue queue;
  ASSERT_TRUE(queue.ready()) << std::strerror(errno);
  ASSERT_TRUE(queue.send(flood));
  const int queued = receive_all(queue.receiver());
  ASSERT_TRUE(queue.send(1));
  tools::datagram_batch batch(8, 64);
  ASSERT_EQ(batch.receive(queue.receiver()), 1);
  EXPECT_NE(batch.received_ns(0, 0), 0u);
  EXPECT_EQ(batch.drop_count(0), static_cast<std::uint32_t>(flood - queued));
}

// ---- control data laid out by hand ----

using test::control_buffer;
using test::control_record;

constexpr std::uint32_t some_count = 123'456;

// A whole record of data_size bytes that start with some_count.
control_record whole(int level, int type, std::size_t data_size) {
  std::vector<std::uint8_t> data(data_size);
  std::memcpy(data.data(), &some_count, std::min(data_size, sizeof some_count));
  return test::whole_record(level, type, std::move(data));
}

struct control_case {
  const char* name;
  std::vector<control_record> records;
  std::size_t cut_to;  // control length offered; 0: all the records take
  int flags;           // msg_flags as the kernel left them
  std::optional<std::uint32_t> expected;
};

void PrintTo(const control_case& c, std::ostream* out) { *out << c.name; }

class DropCountControlData : public testing::TestWithParam<control_case> {};

TEST_P(DropCountControlData, GivesTheCountOnlyFromAWholeRecordOfItsKind) {
  control_buffer buffer(GetParam().records);
  msghdr message = buffer.message(GetParam().cut_to);
  message.msg_flags = GetParam().flags;
  EXPECT_EQ(receive_drop_count(message), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, DropCountControlData,
    testing::Values(
        control_case{"count_alone", {whole(SOL_SOCKET, SO_RXQ_OVFL, 4)}, 0, 0, some_count},
        control_case{"count_after_a_stamp",
                     {whole(SOL_SOCKET, SCM_TIMESTAMPNS, sizeof(timespec)),
                      whole(SOL_SOCKET, SO_RXQ_OVFL, 4)},
                     0,
                     0,
                     some_count},
        control_case{"no_record_means_none_dropped", {}, 0, 0, 0u},
        control_case{"no_record_but_control_cut_short", {}, 0, MSG_CTRUNC, std::nullopt},
        control_case{"same_type_at_another_level", {whole(IPPROTO_IP, SO_RXQ_OVFL, 4)}, 0, 0, 0u},
        control_case{"record_shorter_than_a_count", {whole(SOL_SOCKET, SO_RXQ_OVFL, 2)}, 0, 0,
                     std::nullopt},
        control_case{"zero_length_record_before_the_count",
                     {control_record{IPPROTO_IP, 1, {}, 0}, whole(SOL_SOCKET, SO_RXQ_OVFL, 4)},
                     0,
                     0,
                     std::nullopt},
        control_case{"record_longer_than_the_buffer_holds",
                     {whole(SOL_SOCKET, SO_RXQ_OVFL, 4)},
                     CMSG_LEN(2),
                     MSG_CTRUNC,
                     std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

#else

// A system without a count per socket says so rather than claiming none.
TEST(ReceiveDropCount, NotAvailableHere) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_NE(fd, -1);
  EXPECT_EQ(enable_receive_drop_count(fd), -1);
  EXPECT_EQ(errno, ENOPROTOOPT);
  EXPECT_EQ(socket_drop_count(fd), std::nullopt);
  close(fd);
  const msghdr message{};
  EXPECT_EQ(receive_drop_count(message), std::nullopt);
}

#endif

}  // namespace
}  // namespace reflector
