// The yardstick the service is measured against: the same protocol through
// handle_message, served the plain way, one thread, one blocking socket, one
// recvfrom and one sendto per datagram. Listens on [::]:1213 (or the port
// given as the only argument), IPv6 and IPv4; runs until killed.
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "protocol/reflection.h"

namespace {

constexpr std::size_t buffer_size = reflector::longest_request;

int open_socket(std::uint16_t port) {
  const int fd = socket(AF_INET6, SOCK_DGRAM, 0);
  const int off = 0;
  sockaddr_in6 local{};
  local.sin6_family = AF_INET6;
  local.sin6_port = htons(port);
  if (fd == -1 || setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) == -1 ||
      bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == -1) {
    std::perror("naive_reflector");
    std::exit(1);
  }
  return fd;
}

[[noreturn]] void serve(int fd) {
  std::uint8_t buffer[buffer_size];
  for (;;) {
    sockaddr_in6 peer{};
    socklen_t peer_length = sizeof peer;
    const ssize_t got = recvfrom(fd, buffer, sizeof buffer, 0,
                                 reinterpret_cast<sockaddr*>(&peer), &peer_length);
    if (got < 0) continue;
    const std::uint32_t length = static_cast<std::uint32_t>(got);
    bool drop = true;
    reflector::handle_message(std::span<std::uint8_t, 16>(peer.sin6_addr.s6_addr, 16),
                              peer.sin6_port, buffer, length, drop);
    if (!drop) {
      sendto(fd, buffer, length, 0, reinterpret_cast<sockaddr*>(&peer), peer_length);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const long port = argc > 1 ? std::strtol(argv[1], nullptr, 10) : reflector::service_port;
  if (port < 1 || port > 65535) {
    std::fprintf(stderr, "naive_reflector: bad port\n");
    return 1;
  }
  serve(open_socket(static_cast<std::uint16_t>(port)));
}
