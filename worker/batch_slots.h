// A worker: one thread pinned to one CPU, with its own event queue, its own
// UDP socket on the shared port, and its own 1024 datagram slots, through
// which it receives requests and sends replies in batches.
//
// worker_main runs, in this order: pin the thread, open_endpoint,
// prepare_batch_slots, receive_reply_loop. A failure to pin or to set up the
// endpoint ends the whole process with status 255; the loop never returns.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/reply_source.h"
#include "protocol/message_layout.h"

namespace reflector {

inline constexpr std::size_t batch_capacity = 1024;  // slots, so datagrams per receive
inline constexpr std::size_t event_capacity = 1024;  // records per event wait
// A slot holds the longest request the service answers; the receive cuts a
// longer datagram to that.
inline constexpr std::size_t slot_buffer_size = longest_request;
inline constexpr socklen_t peer_address_size = sizeof(sockaddr_in6);

// Slot k is entry k of the five parallel arrays. Once prepared, header k
// names peers[k] as its address, iovecs[k] as its only I/O vector and
// controls[k] as its control buffer, and iovecs[k] covers buffers[k]. These
// pointers own nothing; they stay valid because no array is resized after
// preparation. The control buffer carries the address a request arrived at
// from its receive to its reply's send.
//
// A slot is ready for a receive when that wiring holds, its iov_len is
// slot_buffer_size, its msg_namelen is peer_address_size and its
// msg_controllen is reply_source_space.
struct batch_slot_arrays {
  std::vector<mmsghdr> headers;
  std::vector<iovec> iovecs;
  std::vector<sockaddr_in6> peers;
  std::vector<std::array<std::uint8_t, slot_buffer_size>> buffers;
  std::vector<reply_source_buffer> controls;
};

// Each thread's own slots. Workers never exit, so their slots are released
// only by the end of the process.
extern thread_local batch_slot_arrays batch_slots;

// Sizes the calling thread's batch_slots to batch_capacity zero-filled slots
// and wires every slot, leaving all of them ready. Does nothing on a thread
// whose slots are already prepared. Throws std::bad_alloc.
void prepare_batch_slots();

// A non-blocking, close-on-exec, dual-stack UDP socket bound to [::]:port
// with load-balanced port sharing, reporting each datagram's destination
// address; -1 on any failure, after closing the socket if one was made.
int open_socket(std::uint16_t port) noexcept;

// A new event queue with open_socket(port) registered for level-triggered
// read events. Returns the queue descriptor; on any failure ends the process
// with _exit(-1) instead.
int open_endpoint(std::uint16_t port) noexcept;

// Waits on kq for ever; for each ready socket receives one batch into the
// calling thread's batch_slots, hands every datagram to handle_message and
// sends the kept replies, each from the address its request arrived at, in
// runs of consecutive slots. Needs
// prepare_batch_slots to have run on this thread. Throws std::bad_alloc if
// its event array cannot be had; otherwise never returns.
[[noreturn]] void receive_reply_loop(int kq);

// The body of the worker thread that runs on CPU cpu; never returns.
[[noreturn]] void worker_main(std::int32_t cpu, std::uint16_t port);

}  // namespace reflector
