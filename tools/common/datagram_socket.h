// One UDP socket owned by a tool. Calls that fail throw std::system_error
// naming what was attempted.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>

#include "tools/common/socket_endpoint.h"

namespace reflector::tools {

struct received_datagram {
  std::size_t length = 0;
  socket_endpoint from;
};

class datagram_socket {
 public:
  // A socket of the family (AF_INET or AF_INET6); an AF_INET6 socket also
  // speaks IPv4 through mapped addresses.
  explicit datagram_socket(int family);
  datagram_socket(datagram_socket&& other) noexcept;
  datagram_socket& operator=(datagram_socket&&) = delete;
  ~datagram_socket();

  int fd() const { return fd_; }
  int family() const { return family_; }

  // An AF_INET6 socket that takes no IPv4; call before bind.
  void refuse_ipv4();
  void bind(const socket_endpoint& local);
  void connect(const socket_endpoint& peer);
  socket_endpoint local() const;

  void send_to(const socket_endpoint& peer, std::span<const std::uint8_t> bytes) const;

  // Waits for one datagram until deadline; nullopt when none came in time.
  // A datagram longer than buffer is cut, and reported with its cut length.
  std::optional<received_datagram> receive_until(
      std::span<std::uint8_t> buffer, std::chrono::steady_clock::time_point deadline) const;

 private:
  int fd_;
  int family_;
};

}  // namespace reflector::tools
