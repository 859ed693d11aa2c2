// A plain UDP socket for tests: bind to an address, send to an address,
// receive with a timeout. Addresses are text ("192.0.2.1", "2001:db8::1").
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/addresses.h"

namespace reflector::test {

struct datagram {
  std::vector<std::uint8_t> bytes;
  address16 from_address{};  // IPv4 senders as ::ffff:a.b.c.d
  std::uint16_t from_port = 0;  // host order
};

class udp_socket {
 public:
  // An IPv6 dual-stack socket bound to bind_address (IPv4 text is bound as
  // its mapped form) and bind_port (0: any). Throws std::runtime_error.
  explicit udp_socket(const std::string& bind_address = "::", std::uint16_t bind_port = 0);
  udp_socket(udp_socket&& other) noexcept;
  udp_socket& operator=(udp_socket&&) = delete;
  ~udp_socket();

  int fd() const { return fd_; }
  std::uint16_t local_port() const;
  address16 local_address() const;

  void send_to(const std::string& address, std::uint16_t port,
               const std::vector<std::uint8_t>& bytes) const;
  std::optional<datagram> receive(std::chrono::milliseconds timeout) const;

 private:
  int fd_;
};

sockaddr_in6 socket_address(const std::string& address, std::uint16_t port);

}  // namespace reflector::test
