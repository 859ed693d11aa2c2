#include "platform/xdp/fast_path_program.h"

#include <bpf/bpf.h>
#include <bpf/libbpf.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <set>

namespace reflector::xdp {
namespace {

// libbpf reports through a print callback; its texts are for developers,
// and the tool says what failed in one line of its own.
int quiet(enum libbpf_print_level, const char*, va_list) { return 0; }

struct key_compare {
  bool operator()(const fast_path_address& a, const fast_path_address& b) const {
    return std::memcmp(a.bytes, b.bytes, sizeof a.bytes) < 0;
  }
};

std::vector<fast_path_address> map_keys(int map_fd) {
  std::vector<fast_path_address> keys;
  fast_path_address key{};
  fast_path_address next{};
  const void* previous = nullptr;
  while (bpf_map_get_next_key(map_fd, previous, &next) == 0) {
    keys.push_back(next);
    key = next;
    previous = &key;
  }
  return keys;
}

// Adds the wanted keys first and removes the others after: a key kept
// across a refresh is never missing meanwhile.
void replace_keys(int map_fd, const std::set<fast_path_address, key_compare>& wanted, const char* what) {
  const std::uint8_t present = 1;
  for (const auto& address : wanted) {
    if (bpf_map_update_elem(map_fd, &address, &present, BPF_ANY) != 0)
      throw fast_path_error(failure_text(std::string("cannot record ") + what, errno));
  }
  for (const auto& old : map_keys(map_fd)) {
    if (!wanted.contains(old) && bpf_map_delete_elem(map_fd, &old) != 0 && errno != ENOENT)
      throw fast_path_error(failure_text(std::string("cannot remove a stale entry of ") + what, errno));
  }
}

}  // namespace

counter_readings& counter_readings::operator+=(const counter_readings& other) {
  for (std::size_t i = 0; i < packets.size(); ++i) packets[i] += other.packets[i];
  return *this;
}

std::string failure_text(const std::string& what, int error) {
  if (error == EPERM || error == EACCES)
    return what + ": not permitted (needs root: CAP_BPF, CAP_SYS_ADMIN and CAP_NET_ADMIN)";
  return what + ": " + std::strerror(error);
}

fast_path_program::fast_path_program() {
  libbpf_set_print(quiet);
  const auto bytes = fast_path_object();
  LIBBPF_OPTS(bpf_object_open_opts, options, .object_name = "reflector_fast_path");
  object_ = bpf_object__open_mem(bytes.data(), bytes.size(), &options);
  load("cannot open the built-in fast path");
}

fast_path_program::fast_path_program(const std::string& object_path) {
  libbpf_set_print(quiet);
  object_ = bpf_object__open_file(object_path.c_str(), nullptr);
  load(("cannot open " + object_path).c_str());
}

void fast_path_program::load(const char* what) {
  if (object_ == nullptr) throw fast_path_error(failure_text(what, errno));
  if (const int result = bpf_object__load(object_); result != 0) {
    bpf_object__close(object_);
    object_ = nullptr;
    // The verifier says no with EACCES, which is no matter of privilege.
    if (-result == EACCES) throw fast_path_error("the kernel's verifier refused the fast path program");
    throw fast_path_error(failure_text("the kernel refused the fast path program", -result));
  }
}

fast_path_program::~fast_path_program() { bpf_object__close(object_); }

int fast_path_program::program_fd() const {
  const bpf_program* program = bpf_object__find_program_by_name(object_, FAST_PATH_PROGRAM);
  if (program == nullptr) throw fast_path_error("the fast path object has no program " FAST_PATH_PROGRAM);
  return bpf_program__fd(program);
}

int fast_path_program::map_fd(const char* name) const {
  const int fd = bpf_object__find_map_fd_by_name(object_, name);
  if (fd < 0) throw fast_path_error(std::string("the fast path object has no map ") + name);
  return fd;
}

int fast_path_program::counters_fd() const { return map_fd(FAST_PATH_COUNTERS_MAP); }
int fast_path_program::interface_fd() const { return map_fd(FAST_PATH_INTERFACE_MAP); }
int fast_path_program::local_addresses_fd() const { return map_fd(FAST_PATH_LOCAL_ADDRESSES_MAP); }
int fast_path_program::local_broadcasts_fd() const { return map_fd(FAST_PATH_LOCAL_BROADCASTS_MAP); }
int fast_path_program::vlans_fd() const { return map_fd(FAST_PATH_VLANS_MAP); }

counter_readings read_counters(int counters_fd) {
  const int cpus = libbpf_num_possible_cpus();
  if (cpus <= 0) throw fast_path_error(failure_text("cannot count the possible CPUs", -cpus));
  std::vector<std::uint64_t> per_cpu(static_cast<std::size_t>(cpus));
  counter_readings readings;
  for (std::uint32_t index = 0; index < readings.packets.size(); ++index) {
    if (bpf_map_lookup_elem(counters_fd, &index, per_cpu.data()) != 0)
      throw fast_path_error(failure_text("cannot read the fast path's counters", errno));
    for (const std::uint64_t packets : per_cpu) readings.packets[index] += packets;
  }
  return readings;
}

void write_interface_mac(int interface_fd, const mac_address& mac) {
  fast_path_interface value{};
  std::memcpy(value.mac, mac.data(), mac.size());
  const std::uint32_t zero = 0;
  if (bpf_map_update_elem(interface_fd, &zero, &value, BPF_ANY) != 0)
    throw fast_path_error(failure_text("cannot set the interface's MAC address", errno));
}

void replace_local_addresses(int local_addresses_fd, const std::vector<fast_path_address>& addresses) {
  // Those left out are passed to the service, which answers them.
  std::set<fast_path_address, key_compare> wanted;
  for (const auto& address : addresses) {
    if (wanted.size() == FAST_PATH_LOCAL_ADDRESSES_MAX) break;
    wanted.insert(address);
  }
  replace_keys(local_addresses_fd, wanted, "the host's addresses");
}

void replace_local_broadcasts(int local_broadcasts_fd, const std::vector<fast_path_address>& addresses) {
  const std::set<fast_path_address, key_compare> wanted(addresses.begin(), addresses.end());
  if (wanted.size() > FAST_PATH_LOCAL_BROADCASTS_MAX)
    throw fast_path_error("the host has " + std::to_string(wanted.size()) +
                          " subnet broadcast addresses; the fast path tells at most " +
                          std::to_string(FAST_PATH_LOCAL_BROADCASTS_MAX) + " apart");
  replace_keys(local_broadcasts_fd, wanted, "the host's broadcast addresses");
}

void replace_vlans(int vlans_fd, const std::vector<std::uint16_t>& ids) {
  std::set<std::uint32_t> wanted;
  for (const std::uint16_t id : ids) {
    if (id < FAST_PATH_VLAN_IDS - 1) wanted.insert(id);
  }
  // Marked first, cleared after, as for the addresses.
  for (const bool marking : {true, false}) {
    for (std::uint32_t id = 0; id < FAST_PATH_VLAN_IDS; ++id) {
      if (wanted.contains(id) != marking) continue;
      const std::uint8_t on = marking ? 1 : 0;
      if (bpf_map_update_elem(vlans_fd, &id, &on, BPF_ANY) != 0)
        throw fast_path_error(failure_text("cannot record the interface's VLANs", errno));
    }
  }
}

std::size_t count_local_addresses(int local_addresses_fd) { return map_keys(local_addresses_fd).size(); }

}  // namespace reflector::xdp
