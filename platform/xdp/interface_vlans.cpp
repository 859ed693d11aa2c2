#include "platform/xdp/interface_vlans.h"

#include <linux/if_ether.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <arpa/inet.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "platform/xdp/descriptor.h"
#include "platform/xdp/fast_path_program.h"

namespace reflector::xdp {
namespace {

constexpr std::uint32_t dump_sequence = 1;

void request_link_dump(int fd) {
  struct {
    nlmsghdr header;
    ifinfomsg link;
  } request{};
  request.header.nlmsg_len = sizeof request;
  request.header.nlmsg_type = RTM_GETLINK;
  request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  request.header.nlmsg_seq = dump_sequence;
  request.link.ifi_family = AF_UNSPEC;
  if (send(fd, &request, sizeof request, 0) != static_cast<ssize_t>(sizeof request))
    throw fast_path_error(failure_text("cannot ask the kernel for its interfaces", errno));
}

// The attributes nested in one, by type; those beyond `types` are ignored.
// A nest may carry the nested flag in its type, or not.
template <std::size_t types>
std::array<const rtattr*, types> attributes(const rtattr* first, int length) {
  std::array<const rtattr*, types> found{};
  for (const rtattr* a = first; RTA_OK(a, length); a = RTA_NEXT(a, length)) {
    const unsigned type = a->rta_type & NLA_TYPE_MASK;
    if (type < types) found[type] = a;
  }
  return found;
}

template <typename T>
bool read_attribute(const rtattr* attribute, T& value) {
  if (attribute == nullptr || RTA_PAYLOAD(attribute) < sizeof value) return false;
  std::memcpy(&value, RTA_DATA(attribute), sizeof value);
  return true;
}

template <std::size_t types>
std::array<const rtattr*, types> nested(const rtattr* parent) {
  return attributes<types>(static_cast<const rtattr*>(RTA_DATA(parent)), static_cast<int>(RTA_PAYLOAD(parent)));
}

// The VLAN id of an 802.1Q VLAN interface stacked on lower_index in this
// namespace, or nothing for any other interface. The message is whole and
// aligned as the kernel sends it.
std::optional<std::uint16_t> vlan_on(const nlmsghdr* message, unsigned lower_index) {
  if (message->nlmsg_type != RTM_NEWLINK || message->nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg)))
    return std::nullopt;
  const auto* link = static_cast<const ifinfomsg*>(NLMSG_DATA(message));
  if ((link->ifi_flags & IFF_UP) == 0) return std::nullopt;
  const auto top = attributes<IFLA_MAX + 1>(IFLA_RTA(link), static_cast<int>(IFLA_PAYLOAD(message)));
  std::uint32_t lower = 0;
  // A lower interface in another namespace has an index of that namespace.
  if (!read_attribute(top[IFLA_LINK], lower) || lower != lower_index || top[IFLA_LINK_NETNSID] != nullptr ||
      top[IFLA_LINKINFO] == nullptr)
    return std::nullopt;
  const auto info = nested<IFLA_INFO_MAX + 1>(top[IFLA_LINKINFO]);
  const rtattr* kind = info[IFLA_INFO_KIND];
  const std::string_view vlan_kind("vlan", 5);  // with its terminating 0
  if (kind == nullptr || RTA_PAYLOAD(kind) != vlan_kind.size() ||
      std::memcmp(RTA_DATA(kind), vlan_kind.data(), vlan_kind.size()) != 0 || info[IFLA_INFO_DATA] == nullptr)
    return std::nullopt;
  const auto vlan = nested<IFLA_VLAN_MAX + 1>(info[IFLA_INFO_DATA]);
  std::uint16_t protocol = htons(ETH_P_8021Q);  // what the kernel assumes when not told
  if (vlan[IFLA_VLAN_PROTOCOL] != nullptr && !read_attribute(vlan[IFLA_VLAN_PROTOCOL], protocol))
    return std::nullopt;
  std::uint16_t id = 0;
  if (protocol != htons(ETH_P_8021Q) || !read_attribute(vlan[IFLA_VLAN_ID], id) || id >= 4095)
    return std::nullopt;
  return id;
}

}  // namespace

std::optional<std::uint16_t> stacked_vlan_id(std::span<const std::uint8_t> link_message, unsigned lower_index) {
  nlmsghdr header{};
  if (link_message.size() < sizeof header) return std::nullopt;
  std::memcpy(&header, link_message.data(), sizeof header);
  if (header.nlmsg_len < sizeof header || header.nlmsg_len > link_message.size()) return std::nullopt;
  // Read in place, the attributes need the alignment the kernel's buffer has.
  std::vector<nlmsghdr> aligned((header.nlmsg_len + sizeof header - 1) / sizeof header);
  std::memcpy(aligned.data(), link_message.data(), header.nlmsg_len);
  return vlan_on(aligned.data(), lower_index);
}

std::vector<std::uint16_t> interface_vlans(const std::string& interface) {
  const unsigned index = if_nametoindex(interface.c_str());
  if (index == 0) throw fast_path_error("no interface '" + interface + "'");
  const descriptor route(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
  if (route.get() < 0) throw fast_path_error(failure_text("cannot open a netlink socket", errno));
  request_link_dump(route.get());
  std::vector<std::uint16_t> ids;
  // Dump messages come in datagrams of up to 32 KiB; new aligns for nlmsghdr.
  std::vector<char> buffer(65536);
  for (;;) {
    const ssize_t received = recv(route.get(), buffer.data(), buffer.size(), 0);
    if (received < 0) throw fast_path_error(failure_text("cannot read the kernel's interfaces", errno));
    const auto size = static_cast<std::size_t>(received);
    for (std::size_t offset = 0; offset + sizeof(nlmsghdr) <= size;) {
      const auto* message = reinterpret_cast<const nlmsghdr*>(buffer.data() + offset);
      if (message->nlmsg_len < sizeof(nlmsghdr) || message->nlmsg_len > size - offset) break;
      offset += NLMSG_ALIGN(message->nlmsg_len);
      if (message->nlmsg_seq != dump_sequence) continue;
      if (message->nlmsg_type == NLMSG_DONE) {
        std::sort(ids.begin(), ids.end());
        return ids;
      }
      if (message->nlmsg_type == NLMSG_ERROR)
        throw fast_path_error("the kernel refused to list its interfaces");
      if (const auto id = vlan_on(message, index)) ids.push_back(*id);
    }
    if (received == 0) throw fast_path_error("the kernel's list of interfaces ended early");
  }
}

}  // namespace reflector::xdp
