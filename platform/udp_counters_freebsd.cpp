#include <sys/types.h>
#include <sys/socket.h>
#include <sys/sysctl.h>

// <netinet/udp_var.h> needs <netinet/udp.h> before it.
#include <netinet/in.h>
#include <netinet/ip_var.h>
#include <netinet/udp.h>
#include <netinet/udp_var.h>
#include <netinet6/ip6_var.h>

#include <cerrno>
#include <system_error>

#include "platform/udp_counters.h"

namespace reflector {
namespace {

// Reads one statistics structure whole. A kernel whose structure is larger
// than this build's fails the read (ENOMEM); a smaller one is refused too,
// rather than reporting zero for the counters it lacks.
template <typename Statistics>
bool read_statistics(const char* name, Statistics& statistics) {
  std::size_t size = sizeof statistics;
  if (sysctlbyname(name, &statistics, &size, nullptr, 0) == -1) return false;
  if (size == sizeof statistics) return true;
  errno = EINVAL;
  return false;
}

// Sends with no route, over both IP versions; either may be left out of the
// kernel.
std::optional<std::uint64_t> sends_without_route() {
  std::optional<std::uint64_t> total;
  struct ipstat ip {};
  if (read_statistics("net.inet.ip.stats", ip)) total = ip.ips_noroute;
  struct ip6stat ip6 {};
  if (read_statistics("net.inet6.ip6.stats", ip6)) total = total.value_or(0) + ip6.ip6s_noroute;
  return total;
}

}  // namespace

std::vector<udp_counters> system_udp_counters() {
  struct udpstat udp {};
  if (!read_statistics("net.inet.udp.stats", udp)) {
    throw std::system_error(errno, std::generic_category(), "net.inet.udp.stats");
  }
  udp_counters counters;
  counters.family = "all";
  counters.in_datagrams = udp.udps_ipackets;
  counters.out_datagrams = udp.udps_opackets;
  counters.in_errors = udp.udps_hdrops + udp.udps_badsum + udp.udps_badlen + udp.udps_fullsock;
  counters.receive_buffer_errors = udp.udps_fullsock;
  counters.checksum_errors = udp.udps_badsum;
  // A datagram to an IPv4 broadcast or multicast address that no socket
  // takes counts in udps_noportbcast alone; every other counts in
  // udps_noport. udps_noportmcast is a part of udps_noport, not added.
  counters.no_port = udp.udps_noport + udp.udps_noportbcast;
  counters.out_no_route = sends_without_route();
  return {counters};
}

}  // namespace reflector
