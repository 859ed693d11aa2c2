#include "worker/batch_handling.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <string>

#include "tests/worker/sent_source.h"

namespace reflector {
namespace {

// Each received datagram's destination, as the kernel reports it; replies
// go back to a client of the same family.
constexpr const char* arrived_at = "192.0.2.3";
constexpr const char* client = "::ffff:192.0.2.100";

in6_addr address(const char* text) {
  in6_addr a{};
  EXPECT_EQ(inet_pton(AF_INET6, text, &a), 1) << text;
  return a;
}

in_addr ipv4_address(const char* text) {
  in_addr a{};
  EXPECT_EQ(inet_pton(AF_INET, text, &a), 1) << text;
  return a;
}

// Stands in for the handler and the send, and writes down every call in the
// order it happens: "h3" for the handler on slot 3, "s1+2" for a send of two
// slots from slot 1. Like sendmmsg, the fake send stops at the first slot it
// refuses (with that slot's errno) and reports how many went before it, or
// -1 if that was the first.
class recording_batch {
 public:
  explicit recording_batch(std::set<std::size_t> dropped, std::map<std::size_t, int> refused = {})
      : dropped_(std::move(dropped)), refused_(std::move(refused)) {
    prepare_batch_slots();
  }

  std::string run(std::size_t count) {
    fill(count);
    handle_batch(slots_, count, [this](auto&&... args) { handle(args...); },
                 [this](mmsghdr* first, unsigned run_length) { return send(first, run_length); });
    return calls_.empty() ? calls_ : calls_.substr(1);
  }

  batch_slot_arrays& slots() { return slots_; }
  const std::string& delivered() const { return delivered_; }

  // The length each datagram arrives with, distinct per slot.
  static std::uint32_t received_length(std::size_t j) {
    return static_cast<std::uint32_t>(40 + j % 100);
  }

 private:
  // Slots as a receive of count datagrams leaves them; the slot after the
  // batch gets marks that the reset must not touch.
  void fill(std::size_t count) {
    for (std::size_t j = 0; j < count; ++j) {
      slots_.headers[j].msg_len = received_length(j);
      slots_.headers[j].msg_hdr.msg_namelen = 16;
      slots_.peers[j].sin6_addr = address(client);
      write_destination(slots_.headers[j].msg_hdr);
    }
    if (count < batch_capacity) {
      slots_.iovecs[count].iov_len = 7;
      slots_.headers[count].msg_hdr.msg_namelen = 3;
      slots_.headers[count].msg_hdr.msg_controllen = 5;
    }
  }

  static void write_destination(msghdr& message) {
    message.msg_controllen = CMSG_SPACE(sizeof(sockaddr_in));
    cmsghdr* c = CMSG_FIRSTHDR(&message);
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_ORIGDSTADDR;
    c->cmsg_len = CMSG_LEN(sizeof(sockaddr_in));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(service_port);
    local.sin_addr = ipv4_address(arrived_at);
    std::memcpy(CMSG_DATA(c), &local, sizeof local);
  }

  void handle(std::span<std::uint8_t, 16>, std::uint16_t&, std::uint8_t* buffer,
              const std::uint32_t& length, bool& drop) {
    const auto j = static_cast<std::size_t>(buffer - slots_.buffers[0].data()) / slot_buffer_size;
    EXPECT_TRUE(drop) << "slot " << j;
    EXPECT_EQ(length, received_length(j));
    calls_ += " h" + std::to_string(j);
    drop = dropped_.count(j) != 0;
  }

  int send(mmsghdr* first, unsigned run_length) {
    const auto start = static_cast<std::size_t>(first - slots_.headers.data());
    EXPECT_GT(run_length, 0u);
    calls_ += " s" + std::to_string(start) + "+" + std::to_string(run_length);
    for (std::size_t j = start; j < start + run_length; ++j) {
      expect_ready_to_send(j);
      if (const auto refusal = refused_.find(j); refusal != refused_.end()) {
        if (j == start) {
          errno = refusal->second;
          return -1;
        }
        return static_cast<int>(j - start);
      }
      if (!delivered_.empty()) delivered_ += ' ';
      delivered_ += std::to_string(j);
    }
    return static_cast<int>(run_length);
  }

  // A kept reply: its length, and the source it is to leave from.
  void expect_ready_to_send(std::size_t j) {
    EXPECT_EQ(slots_.iovecs[j].iov_len, received_length(j)) << "reply length of slot " << j;
    EXPECT_EQ(dropped_.count(j), 0u) << "dropped slot " << j << " sent";
    const msghdr& message = slots_.headers[j].msg_hdr;
    ASSERT_NE(CMSG_FIRSTHDR(&message), nullptr) << "slot " << j;
    const test::sent_source source = test::sent_source_of(*CMSG_FIRSTHDR(&message));
    EXPECT_EQ(source.address, arrived_at) << "slot " << j;
    EXPECT_EQ(message.msg_controllen, source.control_length) << "slot " << j;
  }

  batch_slot_arrays& slots_ = batch_slots;
  std::set<std::size_t> dropped_;
  std::map<std::size_t, int> refused_;
  std::string calls_;
  std::string delivered_;
};

void expect_used_slots_ready(batch_slot_arrays& slots, std::size_t count) {
  for (std::size_t j = 0; j < count; ++j) {
    EXPECT_EQ(slots.iovecs[j].iov_len, slot_buffer_size) << "slot " << j;
    EXPECT_EQ(slots.headers[j].msg_hdr.msg_namelen, peer_address_size) << "slot " << j;
    EXPECT_EQ(slots.headers[j].msg_hdr.msg_controllen, reply_source_space) << "slot " << j;
  }
  if (count < batch_capacity) {
    EXPECT_EQ(slots.iovecs[count].iov_len, 7u) << "slot after the batch was reset";
    EXPECT_EQ(slots.headers[count].msg_hdr.msg_namelen, 3u) << "slot after the batch was reset";
    EXPECT_EQ(slots.headers[count].msg_hdr.msg_controllen, 5u) << "slot after the batch was reset";
  }
}

struct batch_case {
  const char* name;
  std::size_t count;
  std::set<std::size_t> dropped;
  const char* calls;
};

class BatchHandling : public testing::TestWithParam<batch_case> {};

TEST_P(BatchHandling, HandlesSendsAndResetsInOrder) {
  const batch_case& c = GetParam();
  recording_batch batch(c.dropped);
  EXPECT_EQ(batch.run(c.count), c.calls);
  expect_used_slots_ready(batch.slots(), c.count);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, BatchHandling,
    testing::Values(
        batch_case{"NothingDropped", 5, {}, "h0 h1 h2 h3 h4 s0+5"},
        batch_case{"AllDropped", 5, {0, 1, 2, 3, 4}, "h0 h1 h2 h3 h4"},
        batch_case{"MiddleDropped", 5, {2}, "h0 h1 h2 s0+2 h3 h4 s3+2"},
        batch_case{"FirstAdjacentAndLastDropped", 8, {0, 3, 4, 7},
                   "h0 h1 h2 h3 s1+2 h4 h5 h6 h7 s5+2"},
        batch_case{"SingleKept", 1, {}, "h0 s0+1"},
        batch_case{"SingleDropped", 1, {0}, "h0"},
        batch_case{"AlternatingDrops", 6, {1, 3, 5}, "h0 h1 s0+1 h2 h3 s2+1 h4 h5 s4+1"}),
    [](const auto& info) { return info.param.name; });

TEST(BatchHandling, FullBatchIsOneSendAndEverySlotIsReset) {
  recording_batch batch({});
  const std::string calls = batch.run(batch_capacity);
  EXPECT_EQ(calls.substr(calls.rfind(' ') + 1), "s0+1024");
  EXPECT_EQ(calls.find('s'), calls.rfind('s')) << "more than one send";
  expect_used_slots_ready(batch.slots(), batch_capacity);
}

// Sends that the kernel refuses part of: which calls follow, and which
// replies get out.
struct refusal_case {
  const char* name;
  std::size_t count;
  std::set<std::size_t> dropped;
  std::map<std::size_t, int> refused;  // slot -> errno of its send
  const char* calls;
  const char* delivered;
};

class RefusedSend : public testing::TestWithParam<refusal_case> {};

TEST_P(RefusedSend, SkipsTheRefusedReplyAndSendsTheRest) {
  const refusal_case& c = GetParam();
  recording_batch batch(c.dropped, c.refused);
  EXPECT_EQ(batch.run(c.count), c.calls);
  EXPECT_EQ(batch.delivered(), c.delivered);
  expect_used_slots_ready(batch.slots(), c.count);
}

INSTANTIATE_TEST_SUITE_P(
    Sends, RefusedSend,
    testing::Values(
        refusal_case{"Middle", 5, {}, {{2, ENETUNREACH}}, "h0 h1 h2 h3 h4 s0+5 s3+2",
                     "0 1 3 4"},
        refusal_case{"First", 5, {}, {{0, EACCES}}, "h0 h1 h2 h3 h4 s0+5 s1+4", "1 2 3 4"},
        refusal_case{"Last", 5, {}, {{4, EACCES}}, "h0 h1 h2 h3 h4 s0+5", "0 1 2 3"},
        refusal_case{"Adjacent", 5, {}, {{1, EACCES}, {2, ENETUNREACH}},
                     "h0 h1 h2 h3 h4 s0+5 s2+3 s3+2", "0 3 4"},
        refusal_case{"EveryOther", 5, {}, {{0, EACCES}, {2, EACCES}, {4, EACCES}},
                     "h0 h1 h2 h3 h4 s0+5 s1+4 s3+2", "1 3"},
        refusal_case{"InTheFirstOfTwoRuns", 6, {3}, {{1, EINVAL}},
                     "h0 h1 h2 h3 s0+3 s2+1 h4 h5 s4+2", "0 2 4 5"},
        refusal_case{"SocketFullPartWay", 5, {}, {{2, EAGAIN}, {3, EAGAIN}, {4, EAGAIN}},
                     "h0 h1 h2 h3 h4 s0+5 s3+2", "0 1"},
        refusal_case{"SocketFullAtOnce", 4, {}, {{0, EAGAIN}, {1, EAGAIN}, {2, EAGAIN}, {3, EAGAIN}},
                     "h0 h1 h2 h3 s0+4", ""},
        refusal_case{"NoBuffersAtOnce", 3, {}, {{0, ENOBUFS}, {1, ENOBUFS}, {2, ENOBUFS}},
                     "h0 h1 h2 s0+3", ""},
        refusal_case{"FullSocketStopsOnlyItsRun", 5, {2}, {{0, EAGAIN}, {1, EAGAIN}},
                     "h0 h1 h2 s0+2 h3 h4 s3+2", "3 4"}),
    [](const auto& info) { return info.param.name; });

// Every refused reply costs at most one more send call.
TEST(RefusedSend, EachRefusalCostsAtMostOneMoreCall) {
  std::map<std::size_t, int> refused;
  for (std::size_t j = 0; j < batch_capacity; j += 3) refused[j] = EACCES;
  recording_batch batch({}, refused);
  const std::string calls = batch.run(batch_capacity);
  std::size_t sends = 0;
  for (const char c : calls) sends += c == 's' ? 1 : 0;
  EXPECT_LE(sends, 1 + refused.size());
  EXPECT_TRUE(batch.delivered().starts_with("1 2 4 5 ")) << batch.delivered();
  EXPECT_TRUE(batch.delivered().ends_with(" 1021 1022")) << batch.delivered();
}

}  // namespace
}  // namespace reflector
