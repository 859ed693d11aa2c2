// The system's own UDP counters, for the whole host (Linux: the caller's
// network namespace), since boot:
//   Linux:   the Udp: and Udp6 lines of /proc/net/snmp and /proc/net/snmp6,
//            one reading per family, and OutNoRoutes of Ip: and Ip6.
//   FreeBSD: the net.inet.udp.stats sysctl (struct udpstat), which counts
//            both families together: one reading, family "all".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace reflector {

struct udp_counters {
  std::string family;  // "ipv4", "ipv6", or "all" where the system does not tell them apart
  // nullopt: this system does not count it.
  std::optional<std::uint64_t> in_datagrams;
  std::optional<std::uint64_t> out_datagrams;
  std::optional<std::uint64_t> in_errors;              // every datagram received but not delivered
  std::optional<std::uint64_t> receive_buffer_errors;  // dropped at a full receive queue
  std::optional<std::uint64_t> send_buffer_errors;     // refused for want of send buffer
  std::optional<std::uint64_t> checksum_errors;
  std::optional<std::uint64_t> no_port;                // to a port where nothing listens
  std::optional<std::uint64_t> out_no_route;           // IP: sends with no route, any protocol
};

// Throws std::system_error when the counters cannot be read.
std::vector<udp_counters> system_udp_counters();

#if defined(__linux__)
// The two readings in the text of /proc/net/snmp and /proc/net/snmp6; a
// counter missing from the text stays nullopt.
std::vector<udp_counters> udp_counters_from_proc(std::string_view snmp, std::string_view snmp6);
#endif

}  // namespace reflector
