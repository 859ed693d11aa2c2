// Attaching the fast path to an interface and finding it again. The
// attachment (a BPF link) and the maps are pinned under the BPF file system,
// in <pin root>/<interface>/, so that they outlive the loader and later runs
// can read the counters or detach it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/xdp/fast_path_program.h"

namespace reflector::xdp {

inline constexpr const char* default_pin_root = "/sys/fs/bpf/reflector";

enum class attach_mode { native, generic };
const char* mode_name(attach_mode mode);

enum class attach_outcome {
  attached,   // newly attached
  refreshed,  // it was attached already: its addresses were read again
};

// Attaches the fast path to the interface in the mode asked for (native
// when none is), or refreshes the host's addresses and the interface's MAC
// if it is attached there already. Throws fast_path_error: no privilege, no
// such interface, no Ethernet address, another XDP program attached, a mode
// the driver does not offer, attached already in another mode than asked.
attach_outcome attach_fast_path(const std::string& interface, std::optional<attach_mode> mode,
                                const std::string& pin_root = default_pin_root);

// Detaches it and removes its pins. Throws fast_path_error when it is not
// attached there.
void detach_fast_path(const std::string& interface, const std::string& pin_root = default_pin_root);

struct attachment {
  std::string interface;
  // false: pinned, but the interface has gone, or has no XDP program since
  // it was made again under the same name.
  bool attached = false;
  attach_mode mode = attach_mode::native;
  std::uint32_t program_id = 0;  // the program on the interface
  std::size_t local_addresses = 0;
  counter_readings counters;
};

// Every attachment pinned under the root, in name order; empty when none.
// Reads alone: the maps are opened read-only and the link not at all, so
// read permission on the pins is all it takes (with bpf() allowed), and
// what it holds cannot change an attachment.
std::vector<attachment> attached_fast_paths(const std::string& pin_root = default_pin_root);

}  // namespace reflector::xdp
