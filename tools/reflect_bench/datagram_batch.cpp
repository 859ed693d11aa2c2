#include "tools/reflect_bench/datagram_batch.h"

#include <cerrno>

namespace reflector::tools {

datagram_batch::datagram_batch(unsigned capacity, std::size_t datagram_size)
    : datagram_size_(datagram_size),
      buffers_(capacity * datagram_size),
      peers_(capacity),
      iovecs_(capacity),
      headers_(capacity),
      controls_(capacity) {
  for (unsigned k = 0; k < capacity; ++k) {
    iovecs_[k].iov_base = buffer(k);
    headers_[k].msg_hdr.msg_iov = &iovecs_[k];
    headers_[k].msg_hdr.msg_iovlen = 1;
  }
}

int datagram_batch::send(int fd, unsigned count, std::size_t length) {
  for (unsigned k = 0; k < count; ++k) {
    iovecs_[k].iov_len = length;
    headers_[k].msg_hdr.msg_name = nullptr;
    headers_[k].msg_hdr.msg_namelen = 0;
    headers_[k].msg_hdr.msg_control = nullptr;
    headers_[k].msg_hdr.msg_controllen = 0;
  }
  const int sent = sendmmsg(fd, headers_.data(), count, MSG_DONTWAIT);
  if (sent >= 0) return sent;
  return errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS ? 0 : -1;
}

int datagram_batch::receive(int fd) {
  for (unsigned k = 0; k < capacity(); ++k) {
    iovecs_[k].iov_len = datagram_size_;
    headers_[k].msg_hdr.msg_name = &peers_[k];
    headers_[k].msg_hdr.msg_namelen = sizeof peers_[k];
    headers_[k].msg_hdr.msg_control = controls_[k].bytes;
    headers_[k].msg_hdr.msg_controllen = sizeof controls_[k].bytes;
  }
  const int got = recvmmsg(fd, headers_.data(), capacity(), MSG_DONTWAIT, nullptr);
  return got < 0 ? 0 : got;
}

std::uint64_t datagram_batch::received_ns(unsigned k, std::uint64_t fallback) const {
  return receive_timestamp_ns(headers_[k].msg_hdr).value_or(fallback);
}

std::optional<std::uint32_t> datagram_batch::drop_count(unsigned k) const {
  return receive_drop_count(headers_[k].msg_hdr);
}

}  // namespace reflector::tools
