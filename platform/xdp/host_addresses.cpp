#include "platform/xdp/host_addresses.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
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

unsigned prefix_length_of(const sockaddr* netmask) {
  if (netmask == nullptr || netmask->sa_family != AF_INET) return 32;
  const auto mask = ntohl(reinterpret_cast<const sockaddr_in*>(netmask)->sin_addr.s_addr);
  return static_cast<unsigned>(__builtin_popcount(mask));
}

fast_path_address mapped(std::uint32_t host_order) {
  fast_path_address address{};
  address.bytes[10] = address.bytes[11] = 0xff;
  for (int i = 0; i < 4; ++i) address.bytes[12 + i] = static_cast<std::uint8_t>(host_order >> (24 - 8 * i));
  return address;
}

}  // namespace

std::vector<fast_path_address> subnet_broadcasts(const fast_path_address& address, unsigned prefix_length) {
  if (prefix_length > 30) return {};
  std::uint32_t host_order = 0;
  for (int i = 0; i < 4; ++i) host_order = host_order << 8 | address.bytes[12 + i];
  const std::uint32_t host_bits = prefix_length == 0 ? 0xffffffffu : 0xffffffffu >> prefix_length;
  return {mapped(host_order & ~host_bits), mapped(host_order | host_bits)};
}

std::vector<fast_path_address> host_broadcasts() {
  std::vector<fast_path_address> found;
  ifaddrs* list = nullptr;
  // Not knowing them would answer them: no list is a failure, not an empty one.
  if (getifaddrs(&list) != 0) throw fast_path_error(failure_text("cannot list the host's addresses", errno));
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    // Only the subnets of addresses answered for: a loopback source is refused anyway.
    const auto& address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr;
    if (!is_unicast_ipv4(address)) continue;
    const auto host_order = ntohl(address.s_addr);
    for (const auto& broadcast : subnet_broadcasts(mapped(host_order), prefix_length_of(entry->ifa_netmask)))
      found.push_back(broadcast);
  }
  freeifaddrs(list);
  return found;
}

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
