// Preallocated headers, I/O vectors, buffers, peer addresses and room for
// the control data a received datagram carries (its receive timestamp and
// the socket's drop count) for one sendmmsg or recvmmsg call of up to
// capacity datagrams, so that the load loop allocates nothing per datagram.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <vector>

#include <optional>

#include "platform/receive_drop_count.h"
#include "platform/receive_timestamps.h"

namespace reflector::tools {

class datagram_batch {
 public:
  datagram_batch(unsigned capacity, std::size_t datagram_size);
  datagram_batch(const datagram_batch&) = delete;
  datagram_batch& operator=(const datagram_batch&) = delete;

  unsigned capacity() const { return static_cast<unsigned>(headers_.size()); }
  std::uint8_t* buffer(unsigned k) { return buffers_.data() + k * datagram_size_; }
  std::size_t length(unsigned k) const { return headers_[k].msg_len; }
  const sockaddr* peer(unsigned k) const {
    return reinterpret_cast<const sockaddr*>(&peers_[k]);
  }
  socklen_t peer_length(unsigned k) const { return headers_[k].msg_hdr.msg_namelen; }
  // The kernel's receive time of datagram k (CLOCK_REALTIME, ns), when the
  // socket has receive timestamps enabled; fallback otherwise.
  std::uint64_t received_ns(unsigned k, std::uint64_t fallback) const;
  // How many datagrams the kernel had dropped at the socket when datagram k
  // was queued, when the socket has the drop count enabled; nullopt when
  // the system keeps no such count.
  std::optional<std::uint32_t> drop_count(unsigned k) const;

  // Sends the first count buffers, each length bytes, on a connected socket;
  // returns how many the kernel took: 0 when it would block, -1 when it
  // refused (for example after an ICMP error on the socket).
  int send(int fd, unsigned count, std::size_t length);
  // Receives without waiting; returns how many arrived (0 when none).
  int receive(int fd);

 private:
  struct alignas(cmsghdr) control_buffer {
    std::uint8_t bytes[receive_timestamp_space + receive_drop_count_space];
  };

  std::size_t datagram_size_;
  std::vector<std::uint8_t> buffers_;
  std::vector<sockaddr_storage> peers_;
  std::vector<iovec> iovecs_;
  std::vector<mmsghdr> headers_;
  std::vector<control_buffer> controls_;
};

}  // namespace reflector::tools
