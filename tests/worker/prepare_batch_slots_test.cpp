#include <gtest/gtest.h>

#include <algorithm>
#include <barrier>
#include <thread>

#include "protocol/message_layout.h"
#include "worker/batch_slots.h"

namespace reflector {
namespace {

bool all_zero(const void* bytes, std::size_t size) {
  const auto* p = static_cast<const std::uint8_t*>(bytes);
  return std::all_of(p, p + size, [](std::uint8_t b) { return b == 0; });
}

// The calling thread's record, prepared. Reached through a call that is not
// inlined: GCC 12 at -O2 with UBSan reports a null member access when the
// thread-local access is inlined into the checking loops below.
[[gnu::noinline]] batch_slot_arrays& prepared_own_record() {
  prepare_batch_slots();
  return batch_slots;
}

// Each test works on a thread of its own, so that it meets a record that no
// other test has used.
template <typename Body>
void on_new_thread(Body body) {
  std::thread(body).join();
}

void expect_freshly_prepared() {
  batch_slot_arrays& slots = prepared_own_record();
  ASSERT_EQ(slots.headers.size(), batch_capacity);
  ASSERT_EQ(slots.iovecs.size(), batch_capacity);
  ASSERT_EQ(slots.peers.size(), batch_capacity);
  ASSERT_EQ(slots.buffers.size(), batch_capacity);
  ASSERT_EQ(slots.controls.size(), batch_capacity);
  for (std::size_t k = 0; k < batch_capacity; ++k) {
    const msghdr& h = slots.headers[k].msg_hdr;
    SCOPED_TRACE(k);
    EXPECT_EQ(h.msg_name, &slots.peers[k]);
    EXPECT_EQ(h.msg_namelen, 28u);
    EXPECT_EQ(h.msg_iov, &slots.iovecs[k]);
    EXPECT_EQ(h.msg_iovlen, 1u);
    EXPECT_EQ(h.msg_control, slots.controls[k].bytes);
    EXPECT_EQ(h.msg_controllen, reply_source_space);
    EXPECT_EQ(h.msg_flags, 0);
    EXPECT_EQ(slots.headers[k].msg_len, 0u);
    EXPECT_EQ(slots.iovecs[k].iov_base, slots.buffers[k].data());
    EXPECT_EQ(slots.iovecs[k].iov_len, longest_request);
    EXPECT_TRUE(all_zero(&slots.peers[k], sizeof slots.peers[k]));
    EXPECT_TRUE(all_zero(slots.buffers[k].data(), slots.buffers[k].size()));
    EXPECT_TRUE(all_zero(slots.controls[k].bytes, sizeof slots.controls[k].bytes));
  }
}

TEST(PrepareBatchSlots, EverySlotIsWiredToItsOwnEntriesAndReady) {
  on_new_thread(expect_freshly_prepared);
}

void expect_second_call_inert() {
  batch_slot_arrays& slots = prepared_own_record();
  const void* storage[] = {slots.headers.data(), slots.iovecs.data(), slots.peers.data(),
                           slots.buffers.data(), slots.controls.data()};
  slots.iovecs[5].iov_len = 40;
  slots.headers[6].msg_hdr.msg_namelen = 16;
  slots.buffers[7][0] = 0x5a;

  prepare_batch_slots();
  const void* storage_after[] = {slots.headers.data(), slots.iovecs.data(),
                                 slots.peers.data(), slots.buffers.data(),
                                 slots.controls.data()};
  EXPECT_TRUE(std::equal(std::begin(storage), std::end(storage), std::begin(storage_after)));
  EXPECT_EQ(slots.iovecs[5].iov_len, 40u);
  EXPECT_EQ(slots.headers[6].msg_hdr.msg_namelen, 16u);
  EXPECT_EQ(slots.buffers[7][0], 0x5a);
}

TEST(PrepareBatchSlots, SecondCallChangesNothing) { on_new_thread(expect_second_call_inert); }

struct byte_range {
  const std::uint8_t* begin;
  const std::uint8_t* end;
  bool holds(const void* p) const {
    const auto* q = static_cast<const std::uint8_t*>(p);
    return q >= begin && q < end;
  }
  bool overlaps(const byte_range& other) const { return begin < other.end && other.begin < end; }
};

template <typename T>
byte_range storage_of(const std::vector<T>& array) {
  const auto* b = reinterpret_cast<const std::uint8_t*>(array.data());
  return {b, b + array.size() * sizeof(T)};
}

// Where one thread's five arrays lie, and whether its wiring stays in them.
struct record_layout {
  byte_range arrays[5];
  bool wiring_inside = false;
};

record_layout layout_of_own_record() {
  const batch_slot_arrays& s = prepared_own_record();
  record_layout layout{{storage_of(s.headers), storage_of(s.iovecs), storage_of(s.peers),
                        storage_of(s.buffers), storage_of(s.controls)}};
  layout.wiring_inside = true;
  for (std::size_t k = 0; k < s.headers.size(); ++k) {
    layout.wiring_inside = layout.wiring_inside &&
                           layout.arrays[2].holds(s.headers[k].msg_hdr.msg_name) &&
                           layout.arrays[1].holds(s.headers[k].msg_hdr.msg_iov) &&
                           layout.arrays[3].holds(s.iovecs[k].iov_base) &&
                           layout.arrays[4].holds(s.headers[k].msg_hdr.msg_control);
  }
  return layout;
}

TEST(PrepareBatchSlots, TwoThreadsGetDisjointRecords) {
  record_layout layouts[2];
  // Both threads stay alive until both have looked, so that neither record
  // can be freed and its memory handed to the other.
  std::barrier both_measured(2);
  const auto worker = [&](int i) {
    layouts[i] = layout_of_own_record();
    both_measured.arrive_and_wait();
  };
  std::thread a(worker, 0);
  std::thread b(worker, 1);
  a.join();
  b.join();
  EXPECT_TRUE(layouts[0].wiring_inside);
  EXPECT_TRUE(layouts[1].wiring_inside);
  for (const byte_range& mine : layouts[0].arrays) {
    for (const byte_range& theirs : layouts[1].arrays) EXPECT_FALSE(mine.overlaps(theirs));
  }
}

}  // namespace
}  // namespace reflector
