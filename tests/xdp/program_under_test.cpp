#include "tests/xdp/program_under_test.h"

#include <bpf/bpf.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "platform/xdp/host_addresses.h"

#ifndef CAP_BPF
#define CAP_BPF 39
#endif

namespace reflector::xdp::test {
namespace {

// Frames up to a page: more than any frame the tests build.
constexpr std::size_t largest_output = 4096;

bool has_effective_capability(int capability) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2]{};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  return (data[capability / 32].effective & (1u << (capability % 32))) != 0;
}

fast_path_address map_key(const address16& address) {
  fast_path_address key{};
  std::memcpy(key.bytes, address.data(), sizeof key.bytes);
  return key;
}

std::vector<fast_path_address> map_keys(const std::vector<address16>& addresses) {
  std::vector<fast_path_address> keys;
  for (const auto& address : addresses) keys.push_back(map_key(address));
  return keys;
}

// As the loader finds them on a host with these subnets.
std::vector<fast_path_address> broadcasts_of(const std::vector<ipv4_subnet>& subnets) {
  std::vector<fast_path_address> keys;
  for (const auto& subnet : subnets) {
    for (const auto& key : subnet_broadcasts(map_key(subnet.address), subnet.prefix_length)) keys.push_back(key);
  }
  return keys;
}

fast_path_program load(const std::optional<std::string>& object_path) {
  if (object_path) return fast_path_program(*object_path);
  return fast_path_program();
}

}  // namespace

program_under_test::program_under_test(const test_host& host,
                                       const std::optional<std::string>& object_path)
    : program_(load(object_path)), program_fd_(program_.program_fd()), output_(largest_output) {
  write_interface_mac(program_.interface_fd(), host.interface_mac);
  replace_local_broadcasts(program_.local_broadcasts_fd(), broadcasts_of(host.ipv4_subnets));
  replace_vlans(program_.vlans_fd(), host.vlans);
  replace_local_addresses(program_.local_addresses_fd(), map_keys(host.local_addresses));
}

program_run program_under_test::run(std::span<const std::uint8_t> frame) {
  LIBBPF_OPTS(bpf_test_run_opts, options, .data_in = frame.data(), .data_out = output_.data(),
              .data_size_in = static_cast<std::uint32_t>(frame.size()),
              .data_size_out = static_cast<std::uint32_t>(output_.size()), .repeat = 1);
  if (bpf_prog_test_run_opts(program_fd_, &options) != 0) {
    throw std::runtime_error(std::string("BPF_PROG_TEST_RUN refused a frame of ") +
                             std::to_string(frame.size()) + " bytes: " + std::strerror(errno));
  }
  return program_run{options.retval, std::span(output_).first(options.data_size_out)};
}

counter_readings program_under_test::counters() const { return read_counters(program_.counters_fd()); }

loaded_program load_program(const test_host& host, const std::optional<std::string>& object_path) {
  loaded_program loaded;
  try {
    loaded.program = std::make_unique<program_under_test>(host, object_path);
  } catch (const fast_path_error& error) {
    loaded.failure = error.what();
    const bool refused = loaded.failure.find("not permitted") != std::string::npos;
    const bool privileged = has_effective_capability(CAP_SYS_ADMIN) || has_effective_capability(CAP_BPF);
    loaded.lacks_privilege = refused && !privileged;
    if (refused && privileged) {
      loaded.failure +=
          "; yet this process has CAP_SYS_ADMIN or CAP_BPF";
    }
  }
  return loaded;
}

}  // namespace reflector::xdp::test
