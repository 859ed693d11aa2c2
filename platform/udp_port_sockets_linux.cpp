#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <system_error>

#include "platform/udp_port_sockets.h"

namespace reflector {
namespace {

[[noreturn]] void fail(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

class diag_socket {
 public:
  diag_socket() : fd_(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG)) {
    if (fd_ == -1) fail("sock_diag socket");
  }
  ~diag_socket() { close(fd_); }
  diag_socket(const diag_socket&) = delete;
  diag_socket& operator=(const diag_socket&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

// Asks for every UDP socket of the family, with its memory figures; the
// kernel has no cheaper filter by port than its bytecode, and a host's UDP
// sockets are few.
void send_dump_request(int fd, int family) {
  struct {
    nlmsghdr header;
    inet_diag_req_v2 request;
  } message{};
  message.header.nlmsg_len = sizeof message;
  message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  message.request.sdiag_family = static_cast<std::uint8_t>(family);
  message.request.sdiag_protocol = IPPROTO_UDP;
  message.request.idiag_states = ~0u;
  message.request.idiag_ext = 1u << (INET_DIAG_SKMEMINFO - 1);
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (sendto(fd, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) == -1) {
    fail("sock_diag request");
  }
}

std::string printed_address(int family, const inet_diag_sockid& id) {
  char text[INET6_ADDRSTRLEN] = {};
  inet_ntop(family, id.idiag_src, text, sizeof text);
  return text;
}

void read_memory_figures(const inet_diag_msg& entry, std::uint32_t length, udp_port_socket& socket) {
  const auto* attribute = reinterpret_cast<const rtattr*>(&entry + 1);
  auto remaining = static_cast<int>(length - NLMSG_LENGTH(sizeof entry));
  for (; RTA_OK(attribute, remaining); attribute = RTA_NEXT(attribute, remaining)) {
    if (attribute->rta_type != INET_DIAG_SKMEMINFO) continue;
    std::uint32_t memory[SK_MEMINFO_VARS] = {};
    const auto size = std::min<std::size_t>(RTA_PAYLOAD(attribute), sizeof memory);
    std::memcpy(memory, RTA_DATA(attribute), size);
    socket.queued_bytes = memory[SK_MEMINFO_RMEM_ALLOC];
    socket.receive_buffer_bytes = memory[SK_MEMINFO_RCVBUF];
    if (size > SK_MEMINFO_DROPS * sizeof(std::uint32_t)) socket.drops = memory[SK_MEMINFO_DROPS];
  }
}

// One entry of the dump, or nothing when it is for another port.
std::optional<udp_port_socket> socket_from(const nlmsghdr& header, std::uint16_t port) {
  if (header.nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) return std::nullopt;
  const auto& entry = *static_cast<const inet_diag_msg*>(NLMSG_DATA(&header));
  if (ntohs(entry.id.idiag_sport) != port) return std::nullopt;
  udp_port_socket socket;
  socket.id = entry.idiag_inode;
  socket.family = entry.idiag_family;
  socket.local_address = printed_address(entry.idiag_family, entry.id);
  socket.uid = entry.idiag_uid;
  socket.queued_bytes = entry.idiag_rqueue;
  read_memory_figures(entry, header.nlmsg_len, socket);
  return socket;
}

// Reads the dump's answers until its end, keeping the port's sockets.
void collect_dump(int fd, std::uint16_t port, std::vector<udp_port_socket>& found) {
  alignas(nlmsghdr) char buffer[32768];
  for (;;) {
    const ssize_t received = recv(fd, buffer, sizeof buffer, 0);
    if (received == -1) {
      if (errno == EINTR) continue;
      fail("sock_diag answer");
    }
    auto remaining = static_cast<std::uint32_t>(received);
    for (auto* header = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(header, remaining);
         header = NLMSG_NEXT(header, remaining)) {
      if (header->nlmsg_type == NLMSG_DONE) return;
      if (header->nlmsg_type == NLMSG_ERROR) {
        const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(header));
        errno = header->nlmsg_len >= NLMSG_LENGTH(sizeof *error) ? -error->error : EPROTO;
        fail("sock_diag dump");
      }
      if (auto socket = socket_from(*header, port)) found.push_back(std::move(*socket));
    }
    if (received == 0) return;
  }
}

}  // namespace

std::vector<udp_port_socket> udp_sockets_on_port(std::uint16_t port) {
  std::vector<udp_port_socket> found;
  for (const int family : {AF_INET6, AF_INET}) {
    diag_socket diag;
    send_dump_request(diag.fd(), family);
    collect_dump(diag.fd(), port, found);
  }
  return found;
}

}  // namespace reflector
