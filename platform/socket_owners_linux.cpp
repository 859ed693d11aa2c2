#include <dirent.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>

#include "platform/proc_listing_linux.h"
#include "platform/socket_owners.h"

namespace reflector {
namespace {

// The inode of the socket behind a descriptor: its link reads "socket:[N]".
std::optional<std::uint64_t> socket_inode(const std::string& descriptor_path) {
  char target[64];
  const ssize_t length = readlink(descriptor_path.c_str(), target, sizeof target - 1);
  if (length <= 0) return std::nullopt;
  const std::string_view link(target, static_cast<std::size_t>(length));
  constexpr std::string_view prefix = "socket:[";
  if (!link.starts_with(prefix) || !link.ends_with(']')) return std::nullopt;
  const auto number = proc::whole_number(link.substr(prefix.size(), link.size() - prefix.size() - 1));
  if (!number) return std::nullopt;
  return static_cast<std::uint64_t>(*number);
}

std::string process_path(pid_t pid) { return "/proc/" + std::to_string(pid); }

// Which of the sockets wanted each descriptor of the process holds.
std::map<long, std::uint64_t> wanted_descriptors(pid_t pid, const std::set<std::uint64_t>& wanted) {
  std::map<long, std::uint64_t> held;
  const std::string fd_directory = process_path(pid) + "/fd";
  for (const long fd : proc::numbered_entries(fd_directory)) {
    const auto inode = socket_inode(fd_directory + "/" + std::to_string(fd));
    if (inode && wanted.contains(*inode)) held[fd] = *inode;
  }
  return held;
}

// The descriptors an event queue watches ("tfd: N" lines of its fdinfo).
std::vector<long> watched_descriptors(pid_t pid, long queue_fd) {
  std::vector<long> watched;
  std::ifstream info(process_path(pid) + "/fdinfo/" + std::to_string(queue_fd));
  std::string label;
  std::string line;
  while (std::getline(info, line)) {
    std::istringstream fields(line);
    long fd = -1;
    if (fields >> label >> fd && label == "tfd:") watched.push_back(fd);
  }
  return watched;
}

bool waits_on_event_queue(long call) {
#if defined(SYS_epoll_wait)
  if (call == SYS_epoll_wait) return true;
#endif
  return call == SYS_epoll_pwait || call == SYS_epoll_pwait2;
}

bool acts_on_socket(long call) {
  return call == SYS_recvmmsg || call == SYS_sendmmsg || call == SYS_recvmsg || call == SYS_sendmsg ||
         call == SYS_recvfrom || call == SYS_sendto;
}

struct blocked_call {
  long number = -1;
  long first_argument = -1;
};

// What the thread is in now: "running" (in user space) or unreadable yields
// nothing.
std::optional<blocked_call> current_call(pid_t pid, pid_t thread) {
  std::ifstream file(process_path(pid) + "/task/" + std::to_string(thread) + "/syscall");
  std::string number;
  std::string argument;
  if (!(file >> number >> argument) || !argument.starts_with("0x")) return std::nullopt;
  const auto call = proc::whole_number(number);
  const auto first = proc::whole_number(std::string_view(argument).substr(2), 16);
  if (!call || !first) return std::nullopt;
  return blocked_call{*call, *first};
}

// The descriptors a thread's current call is about.
std::vector<long> descriptors_in_use(pid_t pid, const blocked_call& call) {
  if (waits_on_event_queue(call.number)) return watched_descriptors(pid, call.first_argument);
  if (acts_on_socket(call.number)) return {call.first_argument};
  return {};
}

// Finds the thread behind each socket of the process. A thread busy in
// user space says nothing, so it is asked again a few times: under load a
// worker spends most of its time in its calls.
void find_threads(pid_t pid, const std::map<long, std::uint64_t>& held,
                  std::map<std::uint64_t, socket_owner>& owners) {
  const auto threads = proc::numbered_entries(process_path(pid) + "/task");
  std::set<long> unplaced(threads.begin(), threads.end());
  for (int attempt = 0; attempt < 20 && !unplaced.empty(); ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    for (auto thread = unplaced.begin(); thread != unplaced.end();) {
      const auto call = current_call(pid, static_cast<pid_t>(*thread));
      bool placed = call.has_value() && call->number != -1;
      if (call) {
        for (const long fd : descriptors_in_use(pid, *call)) {
          const auto socket = held.find(fd);
          if (socket == held.end()) continue;
          socket_owner& owner = owners[socket->second];
          if (owner.pid == pid) owner.thread = static_cast<pid_t>(*thread);
        }
      }
      thread = placed ? unplaced.erase(thread) : std::next(thread);
    }
  }
}

}  // namespace

std::map<std::uint64_t, socket_owner> socket_owners(const std::vector<std::uint64_t>& ids) {
  std::map<std::uint64_t, socket_owner> owners;
  const std::set<std::uint64_t> wanted(ids.begin(), ids.end());
  if (wanted.empty()) return owners;
  for (const long process : proc::numbered_entries("/proc")) {
    const auto pid = static_cast<pid_t>(process);
    const auto held = wanted_descriptors(pid, wanted);
    if (held.empty()) continue;
    for (const auto& [fd, inode] : held) owners.try_emplace(inode, socket_owner{pid, std::nullopt});
    find_threads(pid, held, owners);
  }
  return owners;
}

}  // namespace reflector
