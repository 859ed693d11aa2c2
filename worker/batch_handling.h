// What the loop does with one received batch: every datagram that may be
// answered at all (worker/request_admission.h) through the handler in slot
// order, the kept replies sent in runs of consecutive slots,
// each from the address its request arrived at, and the used slots made
// ready again. The handler and the send are template parameters so that
// tests can watch the order of calls and make sends fail; in the service
// both calls are direct.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/reply_source.h"
#include "protocol/reflection.h"
#include "worker/batch_slots.h"
#include "worker/request_admission.h"

namespace reflector {

struct reflection_handler {
  void operator()(std::span<std::uint8_t, 16> address, std::uint16_t& port, std::uint8_t* buffer,
                  const std::uint32_t& length, bool& drop) const noexcept {
    handle_message(address, port, buffer, length, drop);
  }
};

// Writes back the three fields a batch changes; everything else of a slot
// stays as the batch left it.
inline void restore_ready_state(batch_slot_arrays& slots, std::size_t used) noexcept {
  for (std::size_t j = 0; j < used; ++j) {
    slots.iovecs[j].iov_len = slot_buffer_size;
    slots.headers[j].msg_hdr.msg_namelen = peer_address_size;
    slots.headers[j].msg_hdr.msg_controllen = reply_source_space;
  }
}

// When the socket cannot take more, every later message would fail as well.
inline bool socket_is_full(int error) noexcept {
  return error == EAGAIN || error == EWOULDBLOCK || error == ENOBUFS;
}

// Sends the replies of headers first to first+count-1. A batched send stops
// at the first message the kernel refuses (an unroutable or broadcast FORWARD
// target, say) and reports only how many went before it; the replies after it
// belong to other clients, so that one message is skipped and the rest sent
// again, at most one more call per refused message. Sending stops only when
// the socket itself is full. send(first, count) has sendmmsg's contract: the
// number sent, or -1 with errno set when the first message failed.
template <typename Send>
void send_run(mmsghdr* first, std::size_t count, const Send& send) {
  while (count > 0) {
    const int sent = send(first, static_cast<unsigned>(count));
    if (sent < 0 && socket_is_full(errno)) return;
    const std::size_t refused_at = sent < 0 ? 0 : static_cast<std::size_t>(sent);
    if (refused_at + 1 >= count) return;
    first += refused_at + 1;
    count -= refused_at + 1;
  }
}

// Handles slots 0 to count-1 (count at most batch_capacity), each filled by
// a receive. Every non-empty run of kept slots is sent as soon as a dropped
// slot or the end of the batch closes it, so replies leave in order and with
// d drops the batch costs at most d+1 sends when the kernel takes them all.
template <typename Handler, typename Send>
void handle_batch(batch_slot_arrays& slots, std::size_t count, const Handler& handle,
                  const Send& send) {
  std::size_t run_start = 0;
  for (std::size_t j = 0; j < count; ++j) {
    bool drop = true;
    std::uint32_t length = static_cast<std::uint32_t>(slots.headers[j].msg_len);
    sockaddr_in6& peer = slots.peers[j];
    msghdr& message = slots.headers[j].msg_hdr;
    reported_destination arrived_at;
    if (read_destination_report(message, arrived_at) && is_answerable(peer.sin6_addr, arrived_at)) {
      handle(std::span<std::uint8_t, 16>(peer.sin6_addr.s6_addr), peer.sin6_port,
             slots.buffers[j].data(), length, drop);
    }
    slots.iovecs[j].iov_len = length;
    if (drop) {
      if (j > run_start) send_run(&slots.headers[run_start], j - run_start, send);
      run_start = j + 1;
    } else {
      reply_from_destination_address(message, arrived_at);
    }
  }
  if (run_start < count) send_run(&slots.headers[run_start], count - run_start, send);
  restore_ready_state(slots, count);
}

}  // namespace reflector
