#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "platform/event_queue.h"
#include "platform/port_sharing.h"
#include "platform/reply_source.h"
#include "worker/batch_slots.h"

namespace reflector {
namespace {

int set_option(int fd, int level, int option, int value) noexcept {
  return setsockopt(fd, level, option, &value, sizeof value);
}

sockaddr_in6 wildcard_address(std::uint16_t port) noexcept {
  sockaddr_in6 address;
  std::memset(&address, 0, sizeof address);
  address.sin6_family = AF_INET6;
  address.sin6_port = htons(port);
  address.sin6_addr = in6addr_any;
  return address;
}

// Both families on one socket; every worker's socket joins the port's
// load-balancing group, which only works if the options precede bind; each
// datagram comes with the address it was sent to, the source of its reply,
// which may be an address held only by a local route.
int configure_and_bind(int fd, std::uint16_t port) noexcept {
  if (set_option(fd, IPPROTO_IPV6, IPV6_V6ONLY, 0) == -1) return -1;
  if (enable_port_sharing(fd) == -1) return -1;
  if (report_destination_address(fd) == -1) return -1;
  if (allow_local_route_sources(fd) == -1) return -1;
  const sockaddr_in6 address = wildcard_address(port);
  return bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

}  // namespace

int open_socket(std::uint16_t port) noexcept {
  const int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP);
  if (fd == -1) return -1;
  if (configure_and_bind(fd, port) == -1) {
    close(fd);
    return -1;
  }
  return fd;
}

// A failed queue or a failed socket (-1, which widens to an ident that is
// no descriptor) both make the registration fail, so one check covers every
// step of the set-up.
int open_endpoint(std::uint16_t port) noexcept {
  const int kq = kqueue1(O_CLOEXEC);
  const int fd = open_socket(port);
  struct kevent registration{};
  registration.ident = static_cast<std::uintptr_t>(static_cast<std::intptr_t>(fd));
  registration.filter = EVFILT_READ;
  registration.flags = EV_ADD;
  if (kevent(kq, &registration, 1, nullptr, 0, nullptr) == -1) _exit(-1);
  return kq;
}

}  // namespace reflector
