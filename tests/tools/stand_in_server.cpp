#include "tests/tools/stand_in_server.h"

#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <cstring>

#include "protocol/message_layout.h"
#include "protocol/reflection.h"

namespace reflector::test {

datagram_bytes service_reply(const datagram_bytes& request, const sockaddr_in6& sender) {
  datagram_bytes reply = request;
  std::array<std::uint8_t, 16> address;
  std::memcpy(address.data(), sender.sin6_addr.s6_addr, address.size());
  std::uint16_t port = sender.sin6_port;
  bool drop = true;
  const auto length = static_cast<std::uint32_t>(reply.size());
  handle_message(address, port, reply.data(), length, drop);
  if (drop) reply.clear();
  return reply;
}

stand_in_server::stand_in_server(const std::string& address, responder respond)
    : socket_(address, service_port), respond_(std::move(respond)) {
  thread_ = std::thread([this] { serve(); });
}

stand_in_server::~stand_in_server() {
  stopping_ = true;
  thread_.join();
}

void stand_in_server::serve() {
  while (!stopping_) {
    pollfd ready{socket_.fd(), POLLIN, 0};
    if (poll(&ready, 1, 20) != 1) continue;
    datagram_bytes request(longest_request);
    sockaddr_in6 sender{};
    socklen_t length = sizeof sender;
    const ssize_t got = recvfrom(socket_.fd(), request.data(), request.size(), MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&sender), &length);
    if (got < 0) continue;
    request.resize(static_cast<std::size_t>(got));
    respond_(request, sender, [&](const datagram_bytes& reply) {
      const auto* to = reinterpret_cast<const sockaddr*>(&sender);
      sendto(socket_.fd(), reply.data(), reply.size(), 0, to, length);
    });
  }
}

}  // namespace reflector::test
