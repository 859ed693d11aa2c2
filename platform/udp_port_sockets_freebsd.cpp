// <netinet/in_pcb.h> declares struct xinpcb only after <sys/socketvar.h>,
// which needs <sys/param.h> first.
#include <sys/param.h>
#include <sys/socket.h>
#include <sys/socketvar.h>
#include <sys/sysctl.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/in_pcb.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "platform/udp_port_sockets.h"

namespace reflector {
namespace {

constexpr const char* pcb_list = "net.inet.udp.pcblist";

[[noreturn]] void fail() { throw std::system_error(errno, std::generic_category(), pcb_list); }

// The list as the kernel exports it: an xinpgen, the xinpcb records, and a
// closing xinpgen. Sockets opened between the sizing call and the read make
// the read fail with ENOMEM; then it is sized again.
std::vector<char> read_pcb_list() {
  for (;;) {
    std::size_t size = 0;
    if (sysctlbyname(pcb_list, nullptr, &size, nullptr, 0) == -1) fail();
    size += size / 4 + sizeof(struct xinpcb);
    std::vector<char> list(size);
    if (sysctlbyname(pcb_list, list.data(), &size, nullptr, 0) == 0) {
      list.resize(size);
      return list;
    }
    if (errno != ENOMEM) fail();
  }
}

std::string printed_address(const struct xinpcb& pcb, int family) {
  char text[INET6_ADDRSTRLEN] = {};
  if (family == AF_INET6) {
    // The kernel keeps a link-local address's zone inside its second
    // 16-bit word; as bound, that word is zero.
    struct in6_addr address = pcb.inp_inc.inc6_laddr;
    if (IN6_IS_ADDR_LINKLOCAL(&address) || IN6_IS_ADDR_MC_LINKLOCAL(&address)) {
      address.s6_addr[2] = 0;
      address.s6_addr[3] = 0;
    }
    inet_ntop(AF_INET6, &address, text, sizeof text);
  } else {
    inet_ntop(AF_INET, &pcb.inp_inc.inc_laddr, text, sizeof text);
  }
  return text;
}

udp_port_socket socket_from(const struct xinpcb& pcb) {
  udp_port_socket socket;
  socket.id = pcb.xi_socket.xso_so;
  // A dual-stack IPv6 socket carries both flags.
  socket.family = (pcb.inp_vflag & INP_IPV6) != 0 ? AF_INET6 : AF_INET;
  socket.local_address = printed_address(pcb, socket.family);
  socket.uid = pcb.xi_socket.so_uid;
  socket.queued_bytes = pcb.xi_socket.so_rcv.sb_cc;
  socket.receive_buffer_bytes = pcb.xi_socket.so_rcv.sb_hiwat;
  return socket;
}

}  // namespace

std::vector<udp_port_socket> udp_sockets_on_port(std::uint16_t port) {
  const std::vector<char> list = read_pcb_list();
  std::vector<udp_port_socket> sockets;
  std::size_t offset = 0;
  // Each record starts with its own length. One too short to be an xinpcb
  // (the opening and closing xinpgen) is passed over; one that runs past
  // the end of what was read ends the walk. Records are copied out, clear
  // of the buffer's alignment.
  while (list.size() - offset >= sizeof(ksize_t)) {
    ksize_t length = 0;
    std::memcpy(&length, list.data() + offset, sizeof length);
    if (length == 0 || length > list.size() - offset) break;
    if (length >= sizeof(struct xinpcb)) {
      struct xinpcb pcb;
      std::memcpy(&pcb, list.data() + offset, sizeof pcb);
      if (ntohs(pcb.inp_inc.inc_lport) == port) sockets.push_back(socket_from(pcb));
    }
    offset += length;
  }
  return sockets;
}

}  // namespace reflector
