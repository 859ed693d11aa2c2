#include "tools/reflect_bench/datagram_batch.h"

#include <cerrno>
#include <cstring>
#include <ctime>

namespace reflector::tools {
namespace {

constexpr std::size_t control_words = CMSG_SPACE(sizeof(timespec)) / sizeof(std::uint64_t) + 1;

}  // namespace

void enable_receive_timestamps(int fd) {
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
}

datagram_batch::datagram_batch(unsigned capacity, std::size_t datagram_size)
    : datagram_size_(datagram_size),
      buffers_(capacity * datagram_size),
      peers_(capacity),
      iovecs_(capacity),
      headers_(capacity),
      controls_(capacity * control_words) {
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
    headers_[k].msg_hdr.msg_control = &controls_[k * control_words];
    headers_[k].msg_hdr.msg_controllen = control_words * sizeof(std::uint64_t);
  }
  const int got = recvmmsg(fd, headers_.data(), capacity(), MSG_DONTWAIT, nullptr);
  return got < 0 ? 0 : got;
}

}  // namespace reflector::tools

namespace reflector::tools {

std::uint64_t datagram_batch::received_ns(unsigned k, std::uint64_t fallback) const {
  const msghdr& header = headers_[k].msg_hdr;
  for (const cmsghdr* c = CMSG_FIRSTHDR(&header); c != nullptr;
       c = CMSG_NXTHDR(const_cast<msghdr*>(&header), const_cast<cmsghdr*>(c))) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
      timespec stamp;
      std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
      return static_cast<std::uint64_t>(stamp.tv_sec) * 1'000'000'000u +
             static_cast<std::uint64_t>(stamp.tv_nsec);
    }
  }
  return fallback;
}

}  // namespace reflector::tools
