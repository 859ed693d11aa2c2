#include "tests/support/network_namespace.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace reflector::test {
namespace {

std::string bring_loopback_up() {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd == -1) return std::string("socket: ") + std::strerror(errno);
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  std::string problem;
  if (ioctl(fd, SIOCGIFFLAGS, &request) == -1) {
    problem = std::string("SIOCGIFFLAGS: ") + std::strerror(errno);
  } else {
    request.ifr_flags |= IFF_UP;
    if (ioctl(fd, SIOCSIFFLAGS, &request) == -1) {
      problem = std::string("SIOCSIFFLAGS: ") + std::strerror(errno);
    }
  }
  close(fd);
  return problem;
}

void add_address(const std::string& address) {
  const bool v6 = address.find(':') != std::string::npos;
  if (v6) {
    run_command({"ip", "-6", "addr", "add", address + "/128", "dev", "lo", "nodad"});
  } else {
    run_command({"ip", "addr", "add", address + "/32", "dev", "lo"});
  }
}

// Even without duplicate address detection, the kernel finishes adding an
// IPv6 address from a work queue: for a while it is tentative, and then
// for a while it has no local route yet, and what is sent to it is lost.
// On a loaded machine that can take a moment. A datagram that a socket on
// the address sends to itself arrives once the address is usable.
bool usable(const std::string& ipv6_address) {
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  if (inet_pton(AF_INET6, ipv6_address.c_str(), &address.sin6_addr) != 1) return false;
  const int fd = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  socklen_t length = sizeof address;
  bool arrived = false;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
      sendto(fd, "?", 1, 0, reinterpret_cast<sockaddr*>(&address), sizeof address) == 1) {
    pollfd readable{fd, POLLIN, 0};
    char byte;
    arrived = poll(&readable, 1, 20) == 1 && recv(fd, &byte, 1, MSG_DONTWAIT) == 1;
  }
  close(fd);
  return arrived;
}

std::string wait_until_usable(const std::string& ipv6_address) {
  for (int attempt = 0; attempt < 250; ++attempt) {
    if (usable(ipv6_address)) return {};
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return ipv6_address + " still not usable after 5 s or more";
}

int open_current_namespace() {
  const int fd = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  if (fd == -1) throw std::runtime_error(std::string("open ns/net: ") + std::strerror(errno));
  return fd;
}

void enter(int fd) {
  if (setns(fd, CLONE_NEWNET) == -1) {
    throw std::runtime_error(std::string("setns: ") + std::strerror(errno));
  }
}

}  // namespace

void run_command(const std::vector<std::string>& argv) {
  std::vector<std::string> copies = argv;
  std::vector<char*> pointers;
  for (auto& a : copies) pointers.push_back(a.data());
  pointers.push_back(nullptr);
  std::string line;
  for (const auto& a : argv) line += a + " ";
  pid_t pid;
  if (posix_spawnp(&pid, pointers[0], nullptr, nullptr, pointers.data(), environ) != 0) {
    throw std::runtime_error("cannot run: " + line);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw std::runtime_error("failed: " + line);
  }
}

std::string enter_fresh_network_namespace(const std::vector<std::string>& addresses) {
  if (unshare(CLONE_NEWNET) == -1) {
    return std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno);
  }
  if (std::string problem = bring_loopback_up(); !problem.empty()) return problem;
  try {
    for (const auto& address : addresses) add_address(address);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  std::vector<std::string> ipv6_addresses = {"::1"};
  for (const auto& address : addresses) {
    if (address.find(':') != std::string::npos) ipv6_addresses.push_back(address);
  }
  for (const auto& address : ipv6_addresses) {
    if (std::string problem = wait_until_usable(address); !problem.empty()) return problem;
  }
  return {};
}

void add_device_address(const std::string& address, const std::string& device) {
  if (address.find(':') != std::string::npos) {
    run_command({"ip", "-6", "addr", "add", address, "dev", device, "nodad"});
  } else {
    run_command({"ip", "-4", "addr", "add", address, "dev", device});
  }
}

void link_namespaces(const std::string& here_name, const std::vector<std::string>& here_addresses,
                     const side_namespace& there, const std::string& there_name,
                     const std::vector<std::string>& there_addresses) {
  run_command({"ip", "link", "add", here_name, "type", "veth", "peer", "name", there_name, "netns",
               there.path()});
  for (const auto& address : here_addresses) add_device_address(address, here_name);
  run_command({"ip", "link", "set", here_name, "up"});
  const side_namespace::inside in(there);
  for (const auto& address : there_addresses) add_device_address(address, there_name);
  run_command({"ip", "link", "set", there_name, "up"});
}

side_namespace::side_namespace() {
  const int home = open_current_namespace();
  if (unshare(CLONE_NEWNET) == -1) {
    close(home);
    throw std::runtime_error(std::string("unshare: ") + std::strerror(errno));
  }
  fd_ = open_current_namespace();
  const std::string problem = bring_loopback_up();
  enter(home);
  close(home);
  if (!problem.empty()) {
    close(fd_);
    throw std::runtime_error(problem);
  }
}

side_namespace::~side_namespace() { close(fd_); }

std::string side_namespace::path() const {
  return "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(fd_);
}

side_namespace::inside::inside(const side_namespace& where) : home_(open_current_namespace()) {
  enter(where.fd_);
}

side_namespace::inside::~inside() {
  setns(home_, CLONE_NEWNET);
  close(home_);
}

}  // namespace reflector::test
