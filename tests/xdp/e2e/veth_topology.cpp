#include "tests/xdp/e2e/veth_topology.h"

#include <bpf/bpf.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <thread>

namespace reflector::test {
namespace {

using namespace std::chrono_literals;

// Why a step of the set-up failed, and whether for want of privilege (the
// test is skipped) or for another reason (the test fails: a process with
// threads cannot leave its mount namespace, for one).
struct set_up_problem {
  std::string text;
  bool privilege = false;
};

std::optional<set_up_problem> failed(const std::string& what) {
  const int error = errno;
  return set_up_problem{what + ": " + std::strerror(error), error == EPERM || error == EACCES};
}

// A mount namespace of the test's own, with a fresh BPF file system at
// /sys/fs/bpf: reflect-xdp pins there, and every test must start with
// nothing pinned. Children inherit it.
std::optional<set_up_problem> enter_fresh_bpf_file_system() {
  if (unshare(CLONE_NEWNS) != 0) return failed("unshare(CLONE_NEWNS)");
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    return failed("making / private");
  // Whatever the host or an earlier test in this process mounted there goes
  // out of sight (in this namespace only), so that mounts do not pile up.
  for (int mounted = 0; mounted < 64 && umount2("/sys/fs/bpf", MNT_DETACH) == 0; ++mounted) {
  }
  if (mount("bpf", "/sys/fs/bpf", "bpf", 0, nullptr) != 0)
    return failed("mount -t bpf bpf /sys/fs/bpf");
  return std::nullopt;
}

// Whether this process may use bpf() at all: a map is the least it can make.
std::optional<set_up_problem> bpf_refusal() {
  const int fd = bpf_map_create(BPF_MAP_TYPE_ARRAY, nullptr, 4, 4, 1, nullptr);
  if (fd < 0) return failed("bpf(BPF_MAP_CREATE)");
  close(fd);
  return std::nullopt;
}

// Sets one of an interface's offloads through the legacy ethtool calls,
// which every kernel still takes: ETHTOOL_STXCSUM, ETHTOOL_SGRO.
void set_offload(const std::string& interface, std::uint32_t command, bool on) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
  ethtool_value value{command, on ? 1u : 0u};
  ifreq request{};
  std::strncpy(request.ifr_name, interface.c_str(), IFNAMSIZ - 1);
  request.ifr_data = reinterpret_cast<char*>(&value);
  const int result = ioctl(fd, SIOCETHTOOL, &request);
  const int error = errno;
  close(fd);
  if (result != 0)
    throw std::runtime_error("ethtool command " + std::to_string(command) + " on " + interface +
                             ": " + std::strerror(error));
}

void add_address(const std::string& address, const std::string& interface) {
  if (address.find(':') != std::string::npos) {
    run_command({"ip", "-6", "addr", "add", address, "dev", interface, "nodad"});
  } else {
    run_command({"ip", "-4", "addr", "add", address, "dev", interface});
  }
}

}  // namespace

std::string with_brackets(const std::string& address) {
  return address.find(':') == std::string::npos ? address : "[" + address + "]";
}

long long fast_path_counts::at(const std::string& reason, const std::string& family) const {
  const std::string opening = "\"" + reason + "\":{";
  const auto begin = json_.find(opening);
  if (begin == std::string::npos) return -1;
  const auto end = json_.find('}', begin);
  const std::string member = "\"" + family + "\":";
  const auto at = json_.find(member, begin);
  if (at == std::string::npos || at > end) return -1;
  const auto digits = at + member.size();
  if (digits >= json_.size() || json_[digits] < '0' || json_[digits] > '9') return -1;
  return std::stoll(json_.substr(digits));
}

testing::AssertionResult refused_in_one_line(const tool_result& result, int status,
                                             const std::string& who, const std::string& what) {
  const std::string& err = result.err;
  const bool one_line = !err.empty() && err.back() == '\n' && err.find('\n') == err.size() - 1;
  if (result.exited_with(status) && result.out.empty() && one_line &&
      err.rfind(who + ": ", 0) == 0 && err.find(what) != std::string::npos) {
    return testing::AssertionSuccess();
  }
  return testing::AssertionFailure()
         << "wanted exit " << status << ", nothing on stdout and one line \"" << who << ": ...'"
         << what << "'...\" on stderr; got " << result.describe();
}

void VethTopology::SetUp() {
  REFLECTOR_ENTER_NETNS_OR_SKIP();
  if (const auto problem = enter_fresh_bpf_file_system()) {
    if (problem->privilege)
      GTEST_SKIP() << "needs root for a BPF file system of the test's own: " << problem->text;
    FAIL() << "cannot mount a BPF file system of the test's own: " << problem->text;
  }
  if (const auto problem = bpf_refusal()) {
    if (problem->privilege) GTEST_SKIP() << "needs root for bpf(): " << problem->text;
    FAIL() << "bpf() does not work: " << problem->text;
  }

  client_ns_.emplace();
  run_command({"ip", "link", "add", server_interface, "address", server_mac, "type", "veth", "peer",
               "name", client_interface, "address", client_mac, "netns", client_ns_->path()});
  add_address(std::string(ipv4.server) + "/24", server_interface);
  add_address(std::string(ipv6.server) + "/64", server_interface);
  run_command({"ip", "link", "set", server_interface, "up"});
  {
    const side_namespace::inside in(*client_ns_);
    add_address(std::string(ipv4.client) + "/24", client_interface);
    add_address(std::string(ipv6.client) + "/64", client_interface);
    set_offload(client_interface, ETHTOOL_STXCSUM, false);
    set_offload(client_interface, ETHTOOL_SGRO, true);
    run_command({"ip", "link", "set", client_interface, "up"});
  }

  // Until a datagram has gone each way in each family: the link is up, the
  // IPv6 addresses are usable and each side knows the other's MAC. Port
  // 1213 is left alone, so the fast path counts nothing it would answer.
  for (const address_family& family : {ipv4, ipv6}) {
    const udp_socket server(family.server);
    std::optional<udp_socket> client;
    {
      const side_namespace::inside in(*client_ns_);
      client.emplace(family.client);
    }
    bool both_ways = false;
    for (int attempt = 0; attempt < 100 && !both_ways; ++attempt) {
      client->send_to(family.server, server.local_port(), {1});
      if (const auto got = server.receive(50ms)) {
        server.send_to(family.client, got->from_port, {2});
        both_ways = client->receive(1s).has_value();
      }
    }
    ASSERT_TRUE(both_ways) << "no datagram crossed the veth pair over " << family.name;
  }
}

void VethTopology::TearDown() {
  if (service_) {
    EXPECT_TRUE(service_->stop_cleanly());
  }
}

tool_result VethTopology::reflect_xdp(const std::vector<std::string>& args) {
  return run_tool(REFLECT_XDP_PATH, args);
}

void VethTopology::attach(const std::vector<std::string>& extra) {
  std::vector<std::string> args{"attach", server_interface};
  args.insert(args.end(), extra.begin(), extra.end());
  const tool_result attached = reflect_xdp(args);
  ASSERT_TRUE(attached.exited_with(0)) << attached.describe();
}

fast_path_counts VethTopology::counts() {
  const tool_result stats = reflect_xdp({"stats", server_interface, "--json"});
  EXPECT_TRUE(stats.exited_with(0)) << stats.describe();
  return fast_path_counts(stats.out);
}

tool_result VethTopology::on_client(const std::string& path, const std::vector<std::string>& args,
                                    std::chrono::milliseconds timeout) {
  const side_namespace::inside in(*client_ns_);
  return run_tool(path, args, timeout);
}

void VethTopology::run_on_client(const std::vector<std::string>& argv) {
  const side_namespace::inside in(*client_ns_);
  run_command(argv);
}

udp_socket VethTopology::client_socket(const std::string& address, std::uint16_t port) {
  const side_namespace::inside in(*client_ns_);
  return udp_socket(address, port);
}

void VethTopology::start_service() {
  service_.emplace();
  ASSERT_TRUE(service_->wait_until_answering(ipv4.server));
}

int VethTopology::server_index() const {
  return static_cast<int>(if_nametoindex(server_interface));
}

}  // namespace reflector::test
