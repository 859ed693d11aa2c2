#include <dirent.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <fstream>
#include <ranges>
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

std::string thread_path(pid_t pid, pid_t thread) {
  return process_path(pid) + "/task/" + std::to_string(thread);
}

// What a thread's syscall file says: "running" (on a CPU or about to be),
// "-1 ..." (blocked outside any call), or the call and its arguments.
// Nothing when it cannot be read: the thread is gone or hidden.
std::optional<std::string> syscall_text(pid_t pid, pid_t thread) {
  std::ifstream file(thread_path(pid, thread) + "/syscall");
  std::string text;
  if (!std::getline(file, text)) return std::nullopt;
  return text;
}

// The call a syscall file names; nothing for "running" or "-1 ...".
std::optional<blocked_call> call_in(const std::string& text) {
  std::istringstream fields(text);
  std::string number;
  std::string argument;
  if (!(fields >> number >> argument) || !argument.starts_with("0x")) return std::nullopt;
  const auto call = proc::whole_number(number);
  const auto first = proc::whole_number(std::string_view(argument).substr(2), 16);
  if (!call || *call < 0 || !first) return std::nullopt;
  return blocked_call{*call, *first};
}

// A stopped thread ("T", or "t" when traced) stays in the call it was
// stopped in, or in none: asking it again tells nothing new.
bool is_stopped(pid_t pid, pid_t thread) {
  const std::string state = proc::stat_field(proc::read_whole(thread_path(pid, thread) + "/stat"), 3);
  return state == "T" || state == "t";
}

std::optional<std::uint64_t> thread_start_time(pid_t pid, pid_t thread) {
  const auto ticks = proc::whole_number(proc::stat_field(proc::read_whole(thread_path(pid, thread) + "/stat"), 22));
  if (!ticks || *ticks < 0) return std::nullopt;
  return static_cast<std::uint64_t>(*ticks);
}

// The descriptors a thread's current call is about.
std::vector<long> descriptors_in_use(pid_t pid, const blocked_call& call) {
  if (waits_on_event_queue(call.number)) return watched_descriptors(pid, call.first_argument);
  if (acts_on_socket(call.number)) return {call.first_argument};
  return {};
}

// Asks one thread what it is in, and notes it against the sockets of
// `unmatched` (descriptor to socket) its call is about. Returns whether the
// thread is settled: matched, stopped or gone, so that asking it again
// would tell nothing.
bool observe_thread(pid_t pid, pid_t thread, const std::map<long, std::uint64_t>& unmatched,
                    std::map<std::uint64_t, pid_t>& seen) {
  const auto text = syscall_text(pid, thread);
  if (!text) return true;
  bool matched = false;
  if (const auto call = call_in(*text)) {
    for (const long fd : descriptors_in_use(pid, *call)) {
      const auto socket = unmatched.find(fd);
      if (socket == unmatched.end()) continue;
      seen[socket->second] = thread;
      matched = true;
    }
  }
  return matched || is_stopped(pid, thread);
}

// Finds the thread behind each socket of `unmatched`. A thread busy in user
// space says nothing, so the threads are asked again, every millisecond,
// until every socket has its thread, every thread is settled, or the
// sampling time is over: a worker under load is still seen whenever it
// waits for its next batch.
std::map<std::uint64_t, pid_t> sample_threads(pid_t pid, const std::map<long, std::uint64_t>& unmatched) {
  std::map<std::uint64_t, pid_t> seen;
  const auto threads = proc::numbered_entries(process_path(pid) + "/task");
  std::set<long> unsettled(threads.begin(), threads.end());
  const auto sockets = std::views::values(unmatched);
  const std::size_t wanted = std::set<std::uint64_t>(sockets.begin(), sockets.end()).size();
  const auto deadline = std::chrono::steady_clock::now() + thread_sampling_time;
  for (;;) {
    std::erase_if(unsettled, [&](long thread) {
      return observe_thread(pid, static_cast<pid_t>(thread), unmatched, seen);
    });
    if (seen.size() == wanted || unsettled.empty() || std::chrono::steady_clock::now() >= deadline) return seen;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// Takes the remembered matches that still stand for the sockets pid holds;
// returns the descriptors of the sockets still without thread.
std::map<long, std::uint64_t> recall_threads(pid_t pid, const std::map<long, std::uint64_t>& held,
                                             const thread_matches& remembered,
                                             std::map<std::uint64_t, socket_owner>& owners,
                                             thread_matches& matches) {
  std::map<long, std::uint64_t> unmatched;
  for (const auto& [fd, inode] : held) {
    socket_owner& owner = owners[inode];
    if (owner.pid != pid || owner.thread) continue;
    const auto match = remembered.find(inode);
    if (match != remembered.end() && match->second.pid == pid &&
        thread_start_time(pid, match->second.thread) == match->second.thread_started) {
      owner.thread = match->second.thread;
      matches[inode] = match->second;
    } else {
      unmatched[fd] = inode;
    }
  }
  return unmatched;
}

// Finds the threads behind the sockets pid holds: remembered, else sampled.
void find_threads(pid_t pid, const std::map<long, std::uint64_t>& held, const thread_matches& remembered,
                  std::map<std::uint64_t, socket_owner>& owners, thread_matches& matches) {
  const auto unmatched = recall_threads(pid, held, remembered, owners, matches);
  if (unmatched.empty()) return;
  for (const auto& [inode, thread] : sample_threads(pid, unmatched)) {
    const auto started = thread_start_time(pid, thread);
    if (!started) continue;  // ended since
    owners[inode].thread = thread;
    matches[inode] = thread_match{pid, thread, *started};
  }
}

}  // namespace

std::map<std::uint64_t, socket_owner> socket_owners(const std::vector<std::uint64_t>& ids,
                                                    thread_matches& remembered) {
  std::map<std::uint64_t, socket_owner> owners;
  thread_matches matches;
  const std::set<std::uint64_t> wanted(ids.begin(), ids.end());
  for (const long process : wanted.empty() ? std::vector<long>{} : proc::numbered_entries("/proc")) {
    const auto pid = static_cast<pid_t>(process);
    const auto held = wanted_descriptors(pid, wanted);
    if (held.empty()) continue;
    for (const auto& [fd, inode] : held) owners.try_emplace(inode, socket_owner{pid, std::nullopt});
    find_threads(pid, held, remembered, owners, matches);
  }
  remembered = std::move(matches);
  return owners;
}

}  // namespace reflector
