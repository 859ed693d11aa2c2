#include "tests/support/udp_socket.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

namespace reflector::test {

sockaddr_in6 socket_address(const std::string& address, std::uint16_t port) {
  sockaddr_in6 sa{};
  sa.sin6_family = AF_INET6;
  sa.sin6_port = htons(port);
  const address16 bytes = address_of(address);
  std::memcpy(sa.sin6_addr.s6_addr, bytes.data(), 16);
  return sa;
}

udp_socket::udp_socket(const std::string& bind_address, std::uint16_t bind_port)
    : fd_(socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
  if (fd_ == -1) throw std::runtime_error("socket failed");
  const int off = 0;
  setsockopt(fd_, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
  const sockaddr_in6 sa = socket_address(bind_address, bind_port);
  if (bind(fd_, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == -1) {
    close(fd_);
    throw std::runtime_error("bind failed: " + bind_address + " " + std::strerror(errno));
  }
}

udp_socket::udp_socket(udp_socket&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

udp_socket::~udp_socket() {
  if (fd_ != -1) close(fd_);
}

std::uint16_t udp_socket::local_port() const {
  sockaddr_in6 sa{};
  socklen_t len = sizeof sa;
  getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len);
  return ntohs(sa.sin6_port);
}

address16 udp_socket::local_address() const {
  sockaddr_in6 sa{};
  socklen_t len = sizeof sa;
  getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len);
  address16 out;
  std::memcpy(out.data(), sa.sin6_addr.s6_addr, 16);
  return out;
}

void udp_socket::send_to(const std::string& address, std::uint16_t port,
                         const std::vector<std::uint8_t>& bytes) const {
  const sockaddr_in6 sa = socket_address(address, port);
  if (sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&sa),
             sizeof sa) == -1) {
    throw std::runtime_error("sendto failed: " + std::string(std::strerror(errno)));
  }
}

std::optional<datagram> udp_socket::receive(std::chrono::milliseconds timeout) const {
  pollfd p{fd_, POLLIN, 0};
  if (poll(&p, 1, static_cast<int>(timeout.count())) != 1) return std::nullopt;
  datagram d;
  d.bytes.resize(65536);
  sockaddr_in6 from{};
  socklen_t len = sizeof from;
  const ssize_t n = recvfrom(fd_, d.bytes.data(), d.bytes.size(), MSG_DONTWAIT,
                             reinterpret_cast<sockaddr*>(&from), &len);
  if (n < 0) return std::nullopt;
  d.bytes.resize(static_cast<std::size_t>(n));
  std::memcpy(d.from_address.data(), from.sin6_addr.s6_addr, 16);
  d.from_port = ntohs(from.sin6_port);
  return d;
}

}  // namespace reflector::test
