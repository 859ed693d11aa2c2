#include "tools/common/datagram_socket.h"

#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace reflector::tools {
namespace {

[[noreturn]] void fail(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

// Capped so that a far deadline cannot overflow poll's int; the caller waits
// again while the deadline is ahead.
int milliseconds_until(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return static_cast<int>(std::clamp<long long>(left.count(), 0, 60'000));
}

}  // namespace

datagram_socket::datagram_socket(int family)
    : fd_(::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0)), family_(family) {
  if (fd_ == -1) fail(family == AF_INET ? "cannot open an IPv4 socket" : "cannot open an IPv6 socket");
  if (family == AF_INET6) {
    const int off = 0;
    ::setsockopt(fd_, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
  }
}

datagram_socket::datagram_socket(datagram_socket&& other) noexcept
    : fd_(other.fd_), family_(other.family_) {
  other.fd_ = -1;
}

datagram_socket::~datagram_socket() {
  if (fd_ != -1) ::close(fd_);
}

void datagram_socket::refuse_ipv4() {
  const int on = 1;
  if (::setsockopt(fd_, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) == -1) fail("IPV6_V6ONLY");
}

void datagram_socket::bind(const socket_endpoint& local) {
  if (::bind(fd_, local.get(), local.length()) == -1) fail("cannot bind " + local.text());
}

void datagram_socket::connect(const socket_endpoint& peer) {
  if (::connect(fd_, peer.get(), peer.length()) == -1) fail("cannot reach " + peer.text());
}

socket_endpoint datagram_socket::local() const {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == -1) {
    fail("getsockname");
  }
  return socket_endpoint::from_sockaddr(reinterpret_cast<sockaddr*>(&address), length);
}

void datagram_socket::send_to(const socket_endpoint& peer,
                              std::span<const std::uint8_t> bytes) const {
  const ssize_t sent = ::sendto(fd_, bytes.data(), bytes.size(), 0, peer.get(), peer.length());
  if (sent == -1) fail("cannot send to " + peer.text());
}

std::optional<received_datagram> datagram_socket::receive_until(
    std::span<std::uint8_t> buffer, std::chrono::steady_clock::time_point deadline) const {
  for (;;) {
    pollfd waiting{fd_, POLLIN, 0};
    const int ready = ::poll(&waiting, 1, milliseconds_until(deadline));
    if (ready == -1 && errno == EINTR) continue;
    if (ready == -1) fail("poll");
    if (ready == 0) {
      if (std::chrono::steady_clock::now() < deadline) continue;
      return std::nullopt;
    }
    sockaddr_storage from{};
    socklen_t from_length = sizeof from;
    const ssize_t length = ::recvfrom(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                      reinterpret_cast<sockaddr*>(&from), &from_length);
    if (length == -1) {
      // An ICMP error queued on the socket, or a spurious wake-up: keep waiting.
      if (errno == EAGAIN || errno == EINTR || errno == ECONNREFUSED) continue;
      fail("cannot receive");
    }
    return received_datagram{static_cast<std::size_t>(length),
                             socket_endpoint::from_sockaddr(reinterpret_cast<sockaddr*>(&from),
                                                            from_length)};
  }
}

}  // namespace reflector::tools
