#include <gtest/gtest.h>

#include <algorithm>
#include <barrier>
#include <thread>

#include "worker/batch_slots.h"

namespace reflector {
namespace {

bool all_zero(const void* bytes, std::size_t size) {
  const auto* p = static_cast<const std::uint8_t*>(bytes);
  return std::all_of(p, p + size, [](std::uint8_t b) { return b == 0; });
}

// Each test works on a thread of its own, so that it meets a record that no
// other test has used.
template <typename Body>
void on_new_thread(Body body) {
  std::thread(body).join();
}

void expect_freshly_prepared() {
  prepare_batch_slots();
  batch_slot_arrays& slots = batch_slots;
  ASSERT_EQ(slots.headers.size(), batch_capacity);
  ASSERT_EQ(slots.iovecs.size(), batch_capacity);
  ASSERT_EQ(slots.peers.size(), batch_capacity);
  ASSERT_EQ(slots.buffers.size(), batch_capacity);
  for (std::size_t k = 0; k < batch_capacity; ++k) {
    const msghdr& h = slots.headers[k].msg_hdr;
    SCOPED_TRACE(k);
    EXPECT_EQ(h.msg_name, &slots.peers[k]);
    EXPECT_EQ(h.msg_namelen, 28u);
    EXPECT_EQ(h.msg_iov, &slots.iovecs[k]);
    EXPECT_EQ(h.msg_iovlen, 1u);
    EXPECT_EQ(h.msg_control, nullptr);
    EXPECT_EQ(h.msg_controllen, 0u);
    EXPECT_EQ(h.msg_flags, 0);
    EXPECT_EQ(slots.headers[k].msg_len, 0u);
    EXPECT_EQ(slots.iovecs[k].iov_base, slots.buffers[k].data());
    EXPECT_EQ(slots.iovecs[k].iov_len, 1232u);
    EXPECT_TRUE(all_zero(&slots.peers[k], sizeof slots.peers[k]));
    EXPECT_TRUE(all_zero(slots.buffers[k].data(), slots.buffers[k].size()));
  }
}

TEST(PrepareBatchSlots, EverySlotIsWiredToItsOwnEntriesAndReady) {
  on_new_thread(expect_freshly_prepared);
}

void expect_second_call_inert() {
  prepare_batch_slots();
  batch_slot_arrays& slots = batch_slots;
  const void* storage[] = {slots.headers.data(), slots.iovecs.data(), slots.peers.data(),
                           slots.buffers.data()};
  slots.iovecs[5].iov_len = 40;
  slots.headers[6].msg_hdr.msg_namelen = 16;
  slots.buffers[7][0] = 0x5a;

  prepare_batch_slots();
  const void* storage_after[] = {slots.headers.data(), slots.iovecs.data(), slots.peers.data(),
                                 slots.buffers.data()};
  EXPECT_TRUE(std::equal(std::begin(storage), std::end(storage), std::begin(storage_after)));
  EXPECT_EQ(slots.iovecs[5].iov_len, 40u);
  EXPECT_EQ(slots.headers[6].msg_hdr.msg_namelen, 16u);
  EXPECT_EQ(slots.buffers[7][0], 0x5a);
}

TEST(PrepareBatchSlots, SecondCallChangesNothing) { on_new_thread(expect_second_call_inert); }

// The byte range that one thread's four arrays occupy, and whether every
// pointer of its wiring lands inside its own arrays.
struct record_extent {
  const std::uint8_t* low = nullptr;
  const std::uint8_t* high = nullptr;
  bool wiring_inside = false;
};

template <typename T>
bool inside(const std::vector<T>& array, const void* p) {
  const auto* b = reinterpret_cast<const std::uint8_t*>(array.data());
  const auto* q = static_cast<const std::uint8_t*>(p);
  return q >= b && q < b + array.size() * sizeof(T);
}

record_extent measure_own_record() {
  prepare_batch_slots();
  const batch_slot_arrays& s = batch_slots;
  record_extent e;
  bool inside_all = true;
  for (std::size_t k = 0; k < s.headers.size(); ++k) {
    inside_all = inside_all && inside(s.peers, s.headers[k].msg_hdr.msg_name) &&
                 inside(s.iovecs, s.headers[k].msg_hdr.msg_iov) &&
                 inside(s.buffers, s.iovecs[k].iov_base);
  }
  e.wiring_inside = inside_all;
  const auto bounds = [&](const auto& array) {
    const auto* b = reinterpret_cast<const std::uint8_t*>(array.data());
    const auto* end = b + array.size() * sizeof(array[0]);
    e.low = e.low == nullptr ? b : std::min(e.low, b);
    e.high = std::max(e.high, end);
  };
  bounds(s.headers);
  bounds(s.iovecs);
  bounds(s.peers);
  bounds(s.buffers);
  return e;
}

TEST(PrepareBatchSlots, TwoThreadsGetDisjointRecords) {
  record_extent extents[2];
  // Both threads stay alive until both have measured, so that neither
  // record can be freed and its memory handed to the other.
  std::barrier both_measured(2);
  const auto worker = [&](int i) {
    extents[i] = measure_own_record();
    both_measured.arrive_and_wait();
  };
  std::thread a(worker, 0);
  std::thread b(worker, 1);
  a.join();
  b.join();
  EXPECT_TRUE(extents[0].wiring_inside);
  EXPECT_TRUE(extents[1].wiring_inside);
  EXPECT_TRUE(extents[0].high <= extents[1].low || extents[1].high <= extents[0].low);
}

}  // namespace
}  // namespace reflector
