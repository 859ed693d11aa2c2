#include "platform/xdp/host_addresses.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace reflector::xdp {
namespace {

// Loopback addresses are left out: a frame from the wire addressed to one is
// one the kernel would refuse, not one to answer.
bool is_unicast_ipv4(const in_addr& address) {
  const auto first = static_cast<std::uint8_t>(ntohl(address.s_addr) >> 24);
  return first != 0 && first != 127 && first < 224;
}

bool is_unicast_ipv6(const in6_addr& address) {
  return !IN6_IS_ADDR_MULTICAST(&address) && !IN6_IS_ADDR_UNSPECIFIED(&address) &&
         !IN6_IS_ADDR_LOOPBACK(&address);
}

}  // namespace

std::vector<fast_path_address> host_addresses() {
  std::vector<fast_path_address> found;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return found;
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr) continue;
    fast_path_address address{};
    if (entry->ifa_addr->sa_family == AF_INET) {
      const auto* v4 = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
      if (!is_unicast_ipv4(v4->sin_addr)) continue;
      address.bytes[10] = address.bytes[11] = 0xff;
      std::memcpy(&address.bytes[12], &v4->sin_addr, 4);
    } else if (entry->ifa_addr->sa_family == AF_INET6) {
      const auto* v6 = reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr);
      if (!is_unicast_ipv6(v6->sin6_addr)) continue;
      std::memcpy(address.bytes, &v6->sin6_addr, 16);
    } else {
      continue;
    }
    found.push_back(address);
  }
  freeifaddrs(list);
  return found;
}

std::optional<mac_address> interface_mac(const std::string& interface) {
  if (interface.empty() || interface.size() >= IFNAMSIZ) return std::nullopt;
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::nullopt;
  ifreq request{};
  std::memcpy(request.ifr_name, interface.c_str(), interface.size());
  const int result = ioctl(fd, SIOCGIFHWADDR, &request);
  close(fd);
  if (result != 0 || request.ifr_hwaddr.sa_family != 1 /* ARPHRD_ETHER */) return std::nullopt;
  mac_address mac{};
  std::memcpy(mac.data(), request.ifr_hwaddr.sa_data, mac.size());
  return mac;
}

}  // namespace reflector::xdp
