#include "tools/common/socket_endpoint.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace reflector::tools {

socket_endpoint socket_endpoint::from_sockaddr(const sockaddr* address, socklen_t length) {
  socket_endpoint endpoint;
  if (length > sizeof endpoint.storage_) throw std::invalid_argument("socket address too long");
  std::memcpy(&endpoint.storage_, address, length);
  endpoint.length_ = length;
  return endpoint;
}

socket_endpoint socket_endpoint::from_wire(const wire_endpoint& wire) {
  if (is_ipv4_mapped(wire.address)) {
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    std::memcpy(&v4.sin_port, wire.port.data(), 2);
    std::memcpy(&v4.sin_addr, wire.address.data() + 12, 4);
    return from_sockaddr(reinterpret_cast<const sockaddr*>(&v4), sizeof v4);
  }
  sockaddr_in6 v6{};
  v6.sin6_family = AF_INET6;
  std::memcpy(&v6.sin6_port, wire.port.data(), 2);
  std::memcpy(&v6.sin6_addr, wire.address.data(), 16);
  return from_sockaddr(reinterpret_cast<const sockaddr*>(&v6), sizeof v6);
}

socket_endpoint socket_endpoint::wildcard(int family, std::uint16_t port) {
  wire_endpoint wire{port_bytes(port), {}};
  if (family == AF_INET) {
    std::copy(ipv4_mapped_prefix.begin(), ipv4_mapped_prefix.end(), wire.address.begin());
  }
  return from_wire(wire);
}

wire_endpoint socket_endpoint::wire() const {
  wire_endpoint wire;
  if (family() == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&storage_);
    std::memcpy(wire.port.data(), &v4->sin_port, 2);
    std::copy(ipv4_mapped_prefix.begin(), ipv4_mapped_prefix.end(), wire.address.begin());
    std::memcpy(wire.address.data() + 12, &v4->sin_addr, 4);
  } else if (family() == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&storage_);
    std::memcpy(wire.port.data(), &v6->sin6_port, 2);
    std::memcpy(wire.address.data(), &v6->sin6_addr, 16);
  }
  return wire;
}

std::uint16_t socket_endpoint::port() const { return port_number(wire()); }

std::string socket_endpoint::text() const { return endpoint_text(wire()); }

std::string address_text(const wire_endpoint& endpoint) {
  char text[INET6_ADDRSTRLEN] = {};
  if (is_ipv4_mapped(endpoint.address)) {
    inet_ntop(AF_INET, endpoint.address.data() + 12, text, sizeof text);
  } else {
    inet_ntop(AF_INET6, endpoint.address.data(), text, sizeof text);
  }
  return text;
}

std::string endpoint_text(const wire_endpoint& endpoint) {
  const bool bracketed = !is_ipv4_mapped(endpoint.address);
  std::string text;
  if (bracketed) text.push_back('[');
  text.append(address_text(endpoint));
  if (bracketed) text.push_back(']');
  text.push_back(':');
  text.append(std::to_string(port_number(endpoint)));
  return text;
}

}  // namespace reflector::tools
