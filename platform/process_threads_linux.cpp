#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/proc_listing_linux.h"
#include "platform/process_threads.h"

namespace reflector {
namespace {

std::string read_whole(const std::string& path) {
  std::ifstream file(path);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// utime plus stime (fields 14 and 15 of stat, after the parenthesised
// command name, which may itself hold spaces), in seconds.
std::optional<double> cpu_seconds_in_stat(const std::string& stat) {
  const auto name_end = stat.rfind(')');
  if (name_end == std::string::npos) return std::nullopt;
  std::istringstream fields(stat.substr(name_end + 1));
  std::string field;
  unsigned long long ticks = 0;
  for (int number = 3; number <= 15; ++number) {
    if (!(fields >> field)) return std::nullopt;
    if (number < 14) continue;
    unsigned long long value = 0;
    const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value);
    if (error != std::errc{} || end != field.data() + field.size()) return std::nullopt;
    ticks += value;
  }
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
    const auto cpu_seconds = cpu_seconds_in_stat(read_whole(path + "/stat"));
    if (!cpu_seconds) continue;  // ended while being read
    readings.push_back({thread, *cpu_seconds, pinned_cpu_in_status(read_whole(path + "/status"))});
  }
  return readings;
}

namespace {

std::string network_namespace_of(const std::string& process_directory) {
  char link[64];
  const ssize_t length = readlink((process_directory + "/ns/net").c_str(), link, sizeof link);
  return length > 0 ? std::string(link, static_cast<std::size_t>(length)) : std::string();
}

}  // namespace

std::vector<pid_t> processes_named(std::string_view name) {
  std::vector<pid_t> named;
  const std::string own_namespace = network_namespace_of("/proc/self");
  for (const pid_t pid : proc::numbered_entries("/proc")) {
    const std::string directory = "/proc/" + std::to_string(pid);
    std::string command = read_whole(directory + "/comm");
    if (!command.empty() && command.back() == '\n') command.pop_back();
    if (command != name) continue;
    // Another user's namespace link is hidden; only one seen to differ rules
    // the process out.
    const std::string its_namespace = network_namespace_of(directory);
    if (!its_namespace.empty() && !own_namespace.empty() && its_namespace != own_namespace) continue;
    named.push_back(pid);
  }
  return named;
}

}  // namespace reflector
