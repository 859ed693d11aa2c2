// The fast path's BPF program loaded into the kernel, not yet attached to
// any interface, and the reading and writing of its maps, whether they come
// from a program just loaded or from the pins of one already attached.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/xdp/fast_path_layout.h"

struct bpf_object;

namespace reflector::xdp {

// A one-line reason why the fast path could not be loaded, attached, read.
class fast_path_error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The BPF object file built into the program.
std::span<const unsigned char> fast_path_object();

using mac_address = std::array<std::uint8_t, 6>;

// Packets per reason and family, summed over every CPU.
struct counter_readings {
  std::array<std::uint64_t, FAST_PATH_COUNTER_COUNT> packets{};

  std::uint64_t at(fast_path_reason reason, fast_path_family family) const {
    return packets[static_cast<std::size_t>(reason) * fast_path_family_count + family];
  }
  counter_readings& operator+=(const counter_readings& other);
};

class fast_path_program {
 public:
  // Loads the built-in object, or the object file at object_path (a test's
  // variant of it). Throws fast_path_error.
  fast_path_program();
  explicit fast_path_program(const std::string& object_path);
  ~fast_path_program();
  fast_path_program(const fast_path_program&) = delete;
  fast_path_program& operator=(const fast_path_program&) = delete;

  int program_fd() const;
  int counters_fd() const;
  int interface_fd() const;
  int local_addresses_fd() const;
  int local_broadcasts_fd() const;
  int vlans_fd() const;

 private:
  void load(const char* what);
  int map_fd(const char* name) const;

  bpf_object* object_ = nullptr;
};

// The maps, by descriptor. Each throws fast_path_error on failure.
counter_readings read_counters(int counters_fd);
void write_interface_mac(int interface_fd, const mac_address& mac);
// Makes the map hold exactly these addresses (the first
// FAST_PATH_LOCAL_ADDRESSES_MAX of them).
void replace_local_addresses(int local_addresses_fd, const std::vector<fast_path_address>& addresses);
std::size_t count_local_addresses(int local_addresses_fd);
// Makes the map hold exactly these broadcast addresses. Refuses, changing
// nothing, when more than FAST_PATH_LOCAL_BROADCASTS_MAX are given: one
// left out would be answered.
void replace_local_broadcasts(int local_broadcasts_fd, const std::vector<fast_path_address>& addresses);
// Marks exactly these VLAN ids as the host's; ids of 4095 and above, which
// no VLAN has, are left unmarked.
void replace_vlans(int vlans_fd, const std::vector<std::uint16_t>& ids);

// The message for a failed system call on the fast path: privilege problems
// say what privilege is missing.
std::string failure_text(const std::string& what, int error);

}  // namespace reflector::xdp
