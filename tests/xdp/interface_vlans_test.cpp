// Which interfaces the kernel's list makes VLANs of the fast path's
// interface: link messages built as the kernel sends them, then altered
// one way each, and cut short everywhere. Needs no privilege.
#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/xdp/interface_vlans.h"

namespace reflector::xdp::test {
namespace {

constexpr unsigned lower_index = 7;

// What one link message says, as far as it matters here.
struct link_facts {
  bool up = true;
  std::optional<std::uint32_t> lower = lower_index;
  bool lower_elsewhere = false;  // IFLA_LINK_NETNSID
  std::string kind{"vlan", 5};   // with its terminating 0
  std::optional<std::uint16_t> protocol = htons(ETH_P_8021Q);
  std::optional<std::uint16_t> id = 100;
  bool flag_nests = false;  // NLA_F_NESTED on the nests' types
};

class message_writer {
 public:
  explicit message_writer(bool flag_nests) : nest_flag_(flag_nests ? NLA_F_NESTED : 0) {}
  std::size_t open_nest(std::uint16_t type) { return open(static_cast<std::uint16_t>(type | nest_flag_)); }
  std::size_t open(std::uint16_t type) {
    const std::size_t at = bytes_.size();
    rtattr header{0, type};
    append(&header, sizeof header);
    return at;
  }
  void close(std::size_t at) {
    const auto length = static_cast<std::uint16_t>(bytes_.size() - at);
    std::memcpy(bytes_.data() + at, &length, sizeof length);
    bytes_.resize(NLMSG_ALIGN(bytes_.size()));
  }
  void attribute(std::uint16_t type, const void* data, std::size_t size) {
    const std::size_t at = open(type);
    append(data, size);
    close(at);
  }
  void append(const void* data, std::size_t size) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    bytes_.insert(bytes_.end(), p, p + size);
  }
  std::vector<std::uint8_t>& bytes() { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
  std::uint16_t nest_flag_;
};

std::vector<std::uint8_t> link_message(const link_facts& facts) {
  message_writer w(facts.flag_nests);
  nlmsghdr header{};
  header.nlmsg_type = RTM_NEWLINK;
  w.append(&header, sizeof header);
  ifinfomsg link{};
  link.ifi_index = 12;
  link.ifi_flags = facts.up ? IFF_UP : 0;
  w.append(&link, sizeof link);
  const char name[] = "eth0.100";
  w.attribute(IFLA_IFNAME, name, sizeof name);
  if (facts.lower) w.attribute(IFLA_LINK, &*facts.lower, sizeof *facts.lower);
  if (facts.lower_elsewhere) {
    const std::int32_t netnsid = 3;
    w.attribute(IFLA_LINK_NETNSID, &netnsid, sizeof netnsid);
  }
  const std::size_t info = w.open_nest(IFLA_LINKINFO);
  w.attribute(IFLA_INFO_KIND, facts.kind.data(), facts.kind.size());
  const std::size_t data = w.open_nest(IFLA_INFO_DATA);
  if (facts.protocol) w.attribute(IFLA_VLAN_PROTOCOL, &*facts.protocol, sizeof *facts.protocol);
  if (facts.id) w.attribute(IFLA_VLAN_ID, &*facts.id, sizeof *facts.id);
  w.close(data);
  w.close(info);
  auto& bytes = w.bytes();
  const auto length = static_cast<std::uint32_t>(bytes.size());
  std::memcpy(bytes.data(), &length, sizeof length);
  return bytes;
}

struct vlan_case {
  const char* name;
  void (*alter)(link_facts&);
  std::optional<std::uint16_t> expected;
};

const vlan_case vlan_cases[] = {
    {"an 802.1Q VLAN on it", [](link_facts&) {}, 100},
    {"nests flagged as such", [](link_facts& f) { f.flag_nests = true; }, 100},
    {"the protocol left to the kernel's default", [](link_facts& f) { f.protocol.reset(); }, 100},
    {"the highest VLAN id", [](link_facts& f) { f.id = 4094; }, 4094},
    {"down", [](link_facts& f) { f.up = false; }, std::nullopt},
    {"on another interface", [](link_facts& f) { f.lower = lower_index + 1; }, std::nullopt},
    {"no lower interface", [](link_facts& f) { f.lower.reset(); }, std::nullopt},
    {"lower interface in another namespace", [](link_facts& f) { f.lower_elsewhere = true; }, std::nullopt},
    {"802.1ad", [](link_facts& f) { f.protocol = htons(ETH_P_8021AD); }, std::nullopt},
    {"a macvlan", [](link_facts& f) { f.kind = std::string("macvlan", 8); }, std::nullopt},
    {"kind without its 0", [](link_facts& f) { f.kind = "vlan"; }, std::nullopt},
    {"no VLAN id", [](link_facts& f) { f.id.reset(); }, std::nullopt},
    {"the reserved VLAN id", [](link_facts& f) { f.id = 4095; }, std::nullopt},
};

TEST(StackedVlanId, TakesOnlyUp8021QVlansOnTheInterface) {
  for (const vlan_case& c : vlan_cases) {
    link_facts facts;
    c.alter(facts);
    EXPECT_EQ(stacked_vlan_id(link_message(facts), lower_index), c.expected) << c.name;
  }
}

// A message cut anywhere, or whose lengths claim more than it holds, is no
// VLAN and is read no further than it goes.
TEST(StackedVlanId, RefusesMessagesCutShortOrLyingAboutTheirLength) {
  const std::vector<std::uint8_t> whole = link_message({});
  for (std::size_t size = 0; size < whole.size(); ++size) {
    EXPECT_EQ(stacked_vlan_id(std::span(whole).first(size), lower_index), std::nullopt) << size;
  }
  for (std::size_t field = sizeof(nlmsghdr) + sizeof(ifinfomsg); field + 2 <= whole.size(); field += 2) {
    std::vector<std::uint8_t> lying = whole;
    const std::uint16_t too_long = 0xfff0;
    std::memcpy(lying.data() + field, &too_long, sizeof too_long);
    (void)stacked_vlan_id(lying, lower_index);  // must not read past the end
  }
}

}  // namespace
}  // namespace reflector::xdp::test
