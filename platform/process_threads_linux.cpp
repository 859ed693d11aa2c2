#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <string>

#include "platform/proc_listing_linux.h"
#include "platform/process_threads.h"

namespace reflector {
namespace {

// utime plus stime (fields 14 and 15 of stat), in seconds.
std::optional<double> cpu_seconds_in_stat(const std::string& stat) {
  const auto user = proc::whole_number(proc::stat_field(stat, 14));
  const auto system = proc::whole_number(proc::stat_field(stat, 15));
  if (!user || !system || *user < 0 || *system < 0) return std::nullopt;
  const auto ticks = static_cast<unsigned long long>(*user) + static_cast<unsigned long long>(*system);
  const long ticks_per_second = sysconf(_SC_CLK_TCK);
  if (ticks_per_second <= 0) return std::nullopt;
  return static_cast<double>(ticks) / static_cast<double>(ticks_per_second);
}

// "Cpus_allowed_list:\t3" names one CPU; "0-3" or "0,2" more than one.
std::optional<int> pinned_cpu_in_status(const std::string& status) {
  std::istringstream lines(status);
  std::string line;
  constexpr std::string_view label = "Cpus_allowed_list:";
  while (std::getline(lines, line)) {
    if (!line.starts_with(label)) continue;
    std::string list = line.substr(label.size());
    list.erase(0, list.find_first_not_of(" \t"));
    const auto cpu = proc::whole_number(list);
    if (!cpu) return std::nullopt;
    return static_cast<int>(*cpu);
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::vector<thread_reading>> process_threads(pid_t pid) {
  if (pid <= 0) return std::nullopt;
  const std::string task_directory = "/proc/" + std::to_string(pid) + "/task";
  auto threads = proc::numbered_entries(task_directory);
  if (threads.empty()) return std::nullopt;
  // The main thread's id is the process's.
  std::stable_partition(threads.begin(), threads.end(), [pid](pid_t thread) { return thread == pid; });
  std::vector<thread_reading> readings;
  for (const pid_t thread : threads) {
    const std::string path = task_directory + "/" + std::to_string(thread);
    const auto cpu_seconds = cpu_seconds_in_stat(proc::read_whole(path + "/stat"));
    if (!cpu_seconds) continue;  // ended while being read
    readings.push_back({thread, *cpu_seconds, pinned_cpu_in_status(proc::read_whole(path + "/status"))});
  }
  return readings;
}

namespace {

// Whether the real and effective users on status' "Uid:" line (real,
// effective, saved, file system) are both among users.
bool run_by(const std::string& status, const std::vector<uid_t>& users) {
  std::istringstream lines(status);
  for (std::string line; std::getline(lines, line);) {
    if (!line.starts_with("Uid:")) continue;
    std::istringstream fields(line.substr(4));
    long real = -1;
    long effective = -1;
    fields >> real >> effective;
    const auto among = [&](long uid) { return std::find(users.begin(), users.end(), static_cast<uid_t>(uid)) != users.end(); };
    return real >= 0 && effective >= 0 && among(real) && among(effective);
  }
  return false;
}

std::string network_namespace_of(const std::string& process_directory) {
  char link[64];
  const ssize_t length = readlink((process_directory + "/ns/net").c_str(), link, sizeof link);
  return length > 0 ? std::string(link, static_cast<std::size_t>(length)) : std::string();
}

}  // namespace

std::vector<pid_t> processes_named(std::string_view name, const std::vector<uid_t>& users) {
  std::vector<pid_t> named;
  const std::string own_namespace = network_namespace_of("/proc/self");
  for (const pid_t pid : proc::numbered_entries("/proc")) {
    const std::string directory = "/proc/" + std::to_string(pid);
    std::string command = proc::read_whole(directory + "/comm");
    if (!command.empty() && command.back() == '\n') command.pop_back();
    if (command != name || !run_by(proc::read_whole(directory + "/status"), users)) continue;
    // Another user's namespace link is hidden; only one seen to differ rules
    // the process out.
    const std::string its_namespace = network_namespace_of(directory);
    if (!its_namespace.empty() && !own_namespace.empty() && its_namespace != own_namespace) continue;
    named.push_back(pid);
  }
  return named;
}

}  // namespace reflector
