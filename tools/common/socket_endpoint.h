// A transport address as the socket calls take it (struct sockaddr_in or
// sockaddr_in6), with the conversions to and from the protocol's 16-byte
// form and to text. IPv4 and IPv4-mapped forms of one endpoint compare equal.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>

#include "protocol/endpoint_encoding.h"

namespace reflector::tools {

class socket_endpoint {
 public:
  socket_endpoint() = default;
  static socket_endpoint from_sockaddr(const sockaddr* address, socklen_t length);
  // IPv4-mapped addresses become AF_INET endpoints.
  static socket_endpoint from_wire(const wire_endpoint& endpoint);
  // The wildcard address of a family (AF_INET or AF_INET6) with a port.
  static socket_endpoint wildcard(int family, std::uint16_t port);

  int family() const { return storage_.ss_family; }
  const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage_); }
  socklen_t length() const { return length_; }

  wire_endpoint wire() const;  // IPv4 as ::ffff:a.b.c.d
  std::uint16_t port() const;  // host order
  std::string text() const;    // "192.0.2.1:1213", "[2001:db8::1]:1213"

  friend bool operator==(const socket_endpoint& a, const socket_endpoint& b) {
    return a.wire() == b.wire();
  }

 private:
  sockaddr_storage storage_{};
  socklen_t length_ = 0;
};

std::string address_text(const wire_endpoint& endpoint);   // "192.0.2.1", "2001:db8::1"
std::string endpoint_text(const wire_endpoint& endpoint);  // with ":port", IPv6 in brackets

}  // namespace reflector::tools
