#include "platform/xdp/fast_path_pins.h"

#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <linux/if_link.h>
#include <net/if.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include "platform/xdp/descriptor.h"
#include "platform/xdp/host_addresses.h"
#include "platform/xdp/interface_vlans.h"

namespace reflector::xdp {
namespace {

namespace fs = std::filesystem;

constexpr long bpf_fs_magic = 0xcafe4a11;

// The pins of one attachment, by name under <pin root>/<interface>/.
constexpr const char* link_pin = "link";
constexpr const char* pinned_maps[] = {FAST_PATH_COUNTERS_MAP, FAST_PATH_INTERFACE_MAP,
                                       FAST_PATH_LOCAL_ADDRESSES_MAP, FAST_PATH_LOCAL_BROADCASTS_MAP,
                                       FAST_PATH_VLANS_MAP};

// Interface names become directory names: only what the kernel allows in
// a name, and never a path.
void check_interface_name(const std::string& interface) {
  const bool plausible = !interface.empty() && interface.size() < IFNAMSIZ &&
                         interface != "." && interface != ".." &&
                         std::none_of(interface.begin(), interface.end(), [](char c) {
                           return c == '/' || c == ':' || c <= ' ' || c == 0x7f;
                         });
  if (!plausible) throw fast_path_error("no interface '" + interface + "'");
}

void check_bpf_file_system(const std::string& pin_root) {
  const fs::path mount = fs::path(pin_root).parent_path();
  struct statfs info {};
  if (statfs(mount.c_str(), &info) != 0 || info.f_type != bpf_fs_magic)
    throw fast_path_error("no BPF file system at " + mount.string() + " (mount -t bpf bpf " +
                          mount.string() + ")");
}

int pinned(const fs::path& path) {
  const int fd = bpf_obj_get(path.c_str());
  if (fd < 0) throw fast_path_error(failure_text("cannot open " + path.string(), errno));
  return fd;
}

// For reading alone: a map opened read-only needs only read permission on
// its pin, and leaves the attachment's maps as they are.
int pinned_for_reading(const fs::path& path) {
  LIBBPF_OPTS(bpf_obj_get_opts, options, .file_flags = BPF_F_RDONLY);
  const int fd = bpf_obj_get_opts(path.c_str(), &options);
  if (fd < 0) throw fast_path_error(failure_text("cannot open " + path.string(), errno));
  return fd;
}

// The interface the pinned link is attached to, 0 once that has gone.
std::uint32_t linked_interface(int link_fd) {
  bpf_link_info info{};
  std::uint32_t size = sizeof info;
  if (bpf_obj_get_info_by_fd(link_fd, &info, &size) != 0)
    throw fast_path_error(failure_text("cannot read the fast path's link", errno));
  return info.xdp.ifindex;
}

void remove_pins(const fs::path& directory) {
  std::error_code ignored;
  fs::remove(directory / link_pin, ignored);
  for (const char* map : pinned_maps) fs::remove(directory / map, ignored);
  fs::remove(directory, ignored);
}

mac_address ethernet_address(const std::string& interface) {
  const auto mac = interface_mac(interface);
  if (!mac) throw fast_path_error(interface + " has no Ethernet address; the fast path answers Ethernet frames only");
  return *mac;
}

// What the program knows of the host, all read before any is written. The
// broadcasts and VLANs go in before the addresses, so that no address is
// answered for before its subnet's broadcast addresses are known.
void write_host_facts(int interface_map, int addresses, int broadcasts, int vlans,
                      const std::string& interface) {
  const mac_address mac = ethernet_address(interface);
  const auto host_broadcast_addresses = host_broadcasts();
  const auto vlan_ids = interface_vlans(interface);
  replace_local_broadcasts(broadcasts, host_broadcast_addresses);
  replace_vlans(vlans, vlan_ids);
  write_interface_mac(interface_map, mac);
  replace_local_addresses(addresses, host_addresses());
}

void refresh_host_facts(const fs::path& directory, const std::string& interface) {
  for (const char* map : pinned_maps) {
    if (!fs::exists(directory / map))
      throw fast_path_error("the fast path on " + interface + " was attached by an older reflect-xdp, which lacks " +
                            map + "; detach it and attach again");
  }
  descriptor interface_map(pinned(directory / FAST_PATH_INTERFACE_MAP));
  descriptor addresses(pinned(directory / FAST_PATH_LOCAL_ADDRESSES_MAP));
  descriptor broadcasts(pinned(directory / FAST_PATH_LOCAL_BROADCASTS_MAP));
  descriptor vlans(pinned(directory / FAST_PATH_VLANS_MAP));
  write_host_facts(interface_map.get(), addresses.get(), broadcasts.get(), vlans.get(), interface);
}

// Refuses when any XDP program is attached: it is not ours to replace.
void check_no_other_program(const std::string& interface, unsigned index) {
  LIBBPF_OPTS(bpf_xdp_query_opts, query);
  if (const int result = bpf_xdp_query(static_cast<int>(index), 0, &query); result != 0)
    throw fast_path_error(failure_text("cannot query XDP on " + interface, -result));
  if (query.prog_id != 0)
    throw fast_path_error("another XDP program (id " + std::to_string(query.prog_id) +
                          ") is attached to " + interface + "; detach it first");
}

std::string attach_failure(const std::string& interface, attach_mode mode, int error) {
  if (mode == attach_mode::native && (error == EOPNOTSUPP || error == EINVAL))
    return interface + "'s driver offers no native XDP; try --mode generic";
  if (error == EBUSY || error == EEXIST)
    return "another XDP program is attached to " + interface + "; detach it first";
  return failure_text("cannot attach the fast path to " + interface, error);
}

void pin(int fd, const fs::path& path) {
  if (bpf_obj_pin(fd, path.c_str()) != 0)
    throw fast_path_error(failure_text("cannot pin " + path.string(), errno));
}

attach_mode attached_mode(unsigned index) {
  LIBBPF_OPTS(bpf_xdp_query_opts, query);
  if (bpf_xdp_query(static_cast<int>(index), 0, &query) == 0 && query.attach_mode == XDP_ATTACHED_SKB)
    return attach_mode::generic;
  return attach_mode::native;
}

// Whether the interface named by the pins' directory is there with an XDP
// program on it, asked of the interface rather than of the link: a link
// opens for reading and writing alone, which a reader has no business with.
void read_attachment_state(attachment& one) {
  const unsigned index = if_nametoindex(one.interface.c_str());
  if (index == 0) return;  // gone, and the kernel detached the program with it
  LIBBPF_OPTS(bpf_xdp_query_opts, query);
  if (const int result = bpf_xdp_query(static_cast<int>(index), 0, &query); result != 0)
    throw fast_path_error(failure_text("cannot query XDP on " + one.interface, -result));
  one.attached = query.prog_id != 0;
  one.program_id = query.prog_id;
  one.mode = query.attach_mode == XDP_ATTACHED_SKB ? attach_mode::generic : attach_mode::native;
}

}  // namespace

const char* mode_name(attach_mode mode) { return mode == attach_mode::native ? "native" : "generic"; }

attach_outcome attach_fast_path(const std::string& interface, std::optional<attach_mode> asked,
                                const std::string& pin_root) {
  check_interface_name(interface);
  const unsigned index = if_nametoindex(interface.c_str());
  if (index == 0) throw fast_path_error("no interface '" + interface + "'");
  check_bpf_file_system(pin_root);
  const fs::path directory = fs::path(pin_root) / interface;

  if (fs::exists(directory / link_pin)) {
    descriptor link(pinned(directory / link_pin));
    if (linked_interface(link.get()) == index) {
      // Changing the mode would mean detaching, and a moment unanswered:
      // that is for the operator to choose.
      const attach_mode current = attached_mode(index);
      if (asked && *asked != current)
        throw fast_path_error("attached to " + interface + " in " + mode_name(current) +
                              " mode already; detach it first to attach in " + mode_name(*asked) +
                              " mode");
      refresh_host_facts(directory, interface);
      return attach_outcome::refreshed;
    }
    remove_pins(directory);  // left from an interface that has since gone
  }
  check_no_other_program(interface, index);

  const attach_mode mode = asked.value_or(attach_mode::native);
  ethernet_address(interface);  // refused before anything is loaded
  fast_path_program program;
  write_host_facts(program.interface_fd(), program.local_addresses_fd(), program.local_broadcasts_fd(),
                   program.vlans_fd(), interface);

  LIBBPF_OPTS(bpf_link_create_opts, options,
              .flags = mode == attach_mode::native ? XDP_FLAGS_DRV_MODE : XDP_FLAGS_SKB_MODE);
  const int link_fd = bpf_link_create(program.program_fd(), static_cast<int>(index), BPF_XDP, &options);
  if (link_fd < 0) throw fast_path_error(attach_failure(interface, mode, -link_fd));
  descriptor link(link_fd);  // closing it unpinned would detach again

  std::error_code error;
  fs::create_directories(directory, error);
  if (error) throw fast_path_error(failure_text("cannot make " + directory.string(), error.value()));
  try {
    pin(program.counters_fd(), directory / FAST_PATH_COUNTERS_MAP);
    pin(program.interface_fd(), directory / FAST_PATH_INTERFACE_MAP);
    pin(program.local_addresses_fd(), directory / FAST_PATH_LOCAL_ADDRESSES_MAP);
    pin(program.local_broadcasts_fd(), directory / FAST_PATH_LOCAL_BROADCASTS_MAP);
    pin(program.vlans_fd(), directory / FAST_PATH_VLANS_MAP);
    pin(link.get(), directory / link_pin);
  } catch (...) {
    remove_pins(directory);
    throw;
  }
  return attach_outcome::attached;
}

void detach_fast_path(const std::string& interface, const std::string& pin_root) {
  check_interface_name(interface);
  check_bpf_file_system(pin_root);
  const fs::path directory = fs::path(pin_root) / interface;
  if (!fs::exists(directory / link_pin)) {
    if (access(pin_root.c_str(), X_OK) != 0 && errno == EACCES)
      throw fast_path_error(failure_text("cannot read " + pin_root, EACCES));
    throw fast_path_error("the fast path is not attached to " + interface);
  }
  descriptor link(pinned(directory / link_pin));
  if (linked_interface(link.get()) != 0 && bpf_link_detach(link.get()) != 0)
    throw fast_path_error(failure_text("cannot detach the fast path from " + interface, errno));
  remove_pins(directory);
}

std::vector<attachment> attached_fast_paths(const std::string& pin_root) {
  check_bpf_file_system(pin_root);
  std::vector<attachment> found;
  std::error_code error;
  // Unable to look is not the same as nothing attached.
  const bool pinned_any = fs::exists(pin_root, error);
  if (error) throw fast_path_error(failure_text("cannot read " + pin_root, error.value()));
  if (!pinned_any) return found;
  fs::directory_iterator entries(pin_root, error);
  if (error) throw fast_path_error(failure_text("cannot read " + pin_root, error.value()));
  for (const auto& entry : entries) {
    if (!fs::exists(entry.path() / link_pin)) continue;
    attachment one;
    one.interface = entry.path().filename().string();
    read_attachment_state(one);
    descriptor counters(pinned_for_reading(entry.path() / FAST_PATH_COUNTERS_MAP));
    descriptor addresses(pinned_for_reading(entry.path() / FAST_PATH_LOCAL_ADDRESSES_MAP));
    one.counters = read_counters(counters.get());
    one.local_addresses = count_local_addresses(addresses.get());
    found.push_back(std::move(one));
  }
  std::sort(found.begin(), found.end(),
            [](const attachment& a, const attachment& b) { return a.interface < b.interface; });
  return found;
}

}  // namespace reflector::xdp
