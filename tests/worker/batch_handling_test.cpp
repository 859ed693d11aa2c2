#include "worker/batch_handling.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace reflector {
namespace {

// Stands in for the handler and the send, and writes down every call in the
// order it happens: "h3" for the handler on slot 3, "s1+2" for a send of two
// slots from slot 1.
class recording_batch {
 public:
  explicit recording_batch(std::set<std::size_t> dropped) : dropped_(std::move(dropped)) {
    prepare_batch_slots();
  }

  std::string run(std::size_t count) {
    fill(count);
    handle_batch(slots_, count, [this](auto&&... args) { handle(args...); },
                 [this](mmsghdr* first, unsigned run_length) { send(first, run_length); });
    return calls_.empty() ? calls_ : calls_.substr(1);
  }

  batch_slot_arrays& slots() { return slots_; }

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
    }
    if (count < batch_capacity) {
      slots_.iovecs[count].iov_len = 7;
      slots_.headers[count].msg_hdr.msg_namelen = 3;
    }
  }

  void handle(std::span<std::uint8_t, 16>, std::uint16_t&, std::uint8_t* buffer,
              const std::uint32_t& length, bool& drop) {
    const auto j = static_cast<std::size_t>(buffer - slots_.buffers[0].data()) / slot_buffer_size;
    EXPECT_TRUE(drop) << "slot " << j;
    EXPECT_EQ(length, received_length(j));
    calls_ += " h" + std::to_string(j);
    drop = dropped_.count(j) != 0;
  }

  void send(mmsghdr* first, unsigned run_length) {
    const auto start = static_cast<std::size_t>(first - slots_.headers.data());
    EXPECT_GT(run_length, 0u);
    for (std::size_t j = start; j < start + run_length; ++j) {
      EXPECT_EQ(slots_.iovecs[j].iov_len, received_length(j)) << "reply length of slot " << j;
      EXPECT_EQ(dropped_.count(j), 0u) << "dropped slot " << j << " sent";
    }
    calls_ += " s" + std::to_string(start) + "+" + std::to_string(run_length);
  }

  batch_slot_arrays& slots_ = batch_slots;
  std::set<std::size_t> dropped_;
  std::string calls_;
};

void expect_used_slots_ready(batch_slot_arrays& slots, std::size_t count) {
  for (std::size_t j = 0; j < count; ++j) {
    EXPECT_EQ(slots.iovecs[j].iov_len, slot_buffer_size) << "slot " << j;
    EXPECT_EQ(slots.headers[j].msg_hdr.msg_namelen, peer_address_size) << "slot " << j;
  }
  if (count < batch_capacity) {
    EXPECT_EQ(slots.iovecs[count].iov_len, 7u) << "slot after the batch was reset";
    EXPECT_EQ(slots.headers[count].msg_hdr.msg_namelen, 3u) << "slot after the batch was reset";
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

}  // namespace
}  // namespace reflector
