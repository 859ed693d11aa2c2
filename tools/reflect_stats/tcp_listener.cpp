#include "tools/reflect_stats/tcp_listener.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/common/shown_argument.h"
#include "tools/common/tool_errors.h"

namespace reflector::tools {
namespace {

// Room for a burst of connections while a reading is taken: the server
// bounds how many it holds once accepted.
constexpr int connection_backlog = 128;

// The listening socket, or -1 with errno saying why not.
int listen_at(const addrinfo& address) {
  const int fd = socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, address.ai_protocol);
  if (fd == -1) return -1;
  const int on = 1;
  const int off = 0;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (address.ai_family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
  if (bind(fd, address.ai_addr, address.ai_addrlen) == 0 && listen(fd, connection_backlog) == 0) return fd;
  const int error = errno;
  close(fd);
  errno = error;
  return -1;
}

}  // namespace

int listen_tcp(const std::string& host, std::uint16_t port, const std::string& shown) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE;
  addrinfo* found = nullptr;
  const int looked_up = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (looked_up != 0) {
    throw usage_error("cannot listen on " + quoted_argument(shown) + ": " + gai_strerror(looked_up));
  }
  int fd = -1;
  int error = EADDRNOTAVAIL;
  for (const addrinfo* one = found; one && fd == -1; one = one->ai_next) {
    fd = listen_at(*one);
    if (fd == -1) error = errno;
  }
  freeaddrinfo(found);
  if (fd == -1) throw usage_error("cannot listen on " + quoted_argument(shown) + ": " + std::strerror(error));
  return fd;
}

}  // namespace reflector::tools
