// What the loop does with one received batch: every datagram through the
// handler in slot order, the kept replies sent in runs of consecutive slots,
// and the used slots made ready again. The handler and the send are template
// parameters so that tests can watch the order of calls; in the service both
// calls are direct.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "protocol/reflection.h"
#include "worker/batch_slots.h"

namespace reflector {

struct reflection_handler {
  void operator()(std::span<std::uint8_t, 16> address, std::uint16_t& port, std::uint8_t* buffer,
                  const std::uint32_t& length, bool& drop) const noexcept {
    handle_message(address, port, buffer, length, drop);
  }
};

// Writes back the two fields a batch changes; everything else of a slot
// stays as the batch left it.
inline void restore_ready_state(batch_slot_arrays& slots, std::size_t used) noexcept {
  for (std::size_t j = 0; j < used; ++j) {
    slots.iovecs[j].iov_len = slot_buffer_size;
    slots.headers[j].msg_hdr.msg_namelen = peer_address_size;
  }
}

// Handles slots 0 to count-1 (count at most batch_capacity), each filled by
// a receive. send_run(first_header, run_length) is called for every
// non-empty run of kept slots as soon as a dropped slot or the end of the
// batch closes it, so replies leave in order and with d drops the batch
// costs at most d+1 sends.
template <typename Handler, typename SendRun>
void handle_batch(batch_slot_arrays& slots, std::size_t count, const Handler& handle,
                  const SendRun& send_run) {
  std::size_t run_start = 0;
  for (std::size_t j = 0; j < count; ++j) {
    bool drop = true;
    std::uint32_t length = static_cast<std::uint32_t>(slots.headers[j].msg_len);
    sockaddr_in6& peer = slots.peers[j];
    handle(std::span<std::uint8_t, 16>(peer.sin6_addr.s6_addr), peer.sin6_port,
           slots.buffers[j].data(), length, drop);
    slots.iovecs[j].iov_len = length;
    if (drop) {
      if (j > run_start) send_run(&slots.headers[run_start], static_cast<unsigned>(j - run_start));
      run_start = j + 1;
    }
  }
  if (run_start < count) {
    send_run(&slots.headers[run_start], static_cast<unsigned>(count - run_start));
  }
  restore_ready_state(slots, count);
}

}  // namespace reflector
