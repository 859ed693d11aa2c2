#include "worker/batch_slots.h"

namespace reflector {

thread_local batch_slot_arrays batch_slots;

namespace {

void wire_slot(batch_slot_arrays& slots, std::size_t k) noexcept {
  slots.iovecs[k].iov_base = slots.buffers[k].data();
  slots.iovecs[k].iov_len = slots.buffers[k].size();
  slots.headers[k].msg_hdr.msg_name = &slots.peers[k];
  slots.headers[k].msg_hdr.msg_namelen = peer_address_size;
  slots.headers[k].msg_hdr.msg_iov = &slots.iovecs[k];
  slots.headers[k].msg_hdr.msg_iovlen = 1;
  slots.headers[k].msg_hdr.msg_control = slots.controls[k].bytes;
  slots.headers[k].msg_hdr.msg_controllen = reply_source_space;
}

}  // namespace

// The arrays grow once, from empty, with zero-filled entries; the wiring
// points into their storage, so they are never resized again.
void prepare_batch_slots() {
  batch_slot_arrays& slots = batch_slots;
  if (!slots.headers.empty()) return;
  slots.headers.resize(batch_capacity);
  const std::size_t count = slots.headers.size();
  slots.iovecs.resize(count);
  slots.peers.resize(count);
  slots.buffers.resize(count);
  slots.controls.resize(count);
  for (std::size_t k = 0; k < count; ++k) wire_slot(slots, k);
}

}  // namespace reflector
