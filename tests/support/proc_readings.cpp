#include "tests/support/proc_readings.h"

#include <dirent.h>
#include <sys/syscall.h>

#include <cstdio>
#include <fstream>
#include <thread>
#include <vector>

namespace reflector::test {

int bound_udp_sockets(std::uint16_t port) {
  char port_field[8];
  std::snprintf(port_field, sizeof port_field, ":%04X ", port);
  int count = 0;
  for (const char* table : {"/proc/net/udp", "/proc/net/udp6"}) {
    std::ifstream lines(table);
    std::string line;
    std::getline(lines, line);  // column titles
    while (std::getline(lines, line)) {
      // The local address is the second field: "  0: 00000000:04BD 00000000:0000 ..."
      const std::size_t colon = line.find(':');
      const std::size_t local = line.find_first_not_of(' ', colon + 1);
      const std::size_t local_end = line.find(' ', local);
      if (line.substr(local, local_end - local + 1).ends_with(port_field)) ++count;
    }
  }
  return count;
}

bool wait_until_bound(std::uint16_t port, int count) {
  for (int attempt = 0; attempt < 400; ++attempt) {
    if (bound_udp_sockets(port) >= count) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  return false;
}

namespace {

std::string task_directory(pid_t pid) { return "/proc/" + std::to_string(pid) + "/task"; }

std::vector<std::string> threads_of(pid_t pid) {
  std::vector<std::string> threads;
  DIR* dir = opendir(task_directory(pid).c_str());
  if (dir == nullptr) return threads;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') threads.emplace_back(entry->d_name);
  }
  closedir(dir);
  return threads;
}

bool waits_on_event_queue(const std::string& syscall_line) {
  const std::string number = syscall_line.substr(0, syscall_line.find(' '));
  for (const long call : {long{SYS_epoll_wait}, long{SYS_epoll_pwait}, long{SYS_epoll_pwait2}}) {
    if (number == std::to_string(call)) return true;
  }
  return false;
}

int threads_waiting(pid_t pid) {
  int waiting = 0;
  for (const std::string& thread : threads_of(pid)) {
    std::ifstream file(task_directory(pid) + "/" + thread + "/syscall");
    std::string line;
    if (std::getline(file, line) && waits_on_event_queue(line)) ++waiting;
  }
  return waiting;
}

}  // namespace

bool wait_until_threads_wait(pid_t pid, int count) {
  for (int attempt = 0; attempt < 400; ++attempt) {
    if (threads_waiting(pid) >= count) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  return false;
}

std::map<int, std::string> allowed_cpus_by_thread(pid_t pid) {
  std::map<int, std::string> result;
  for (const std::string& thread : threads_of(pid)) {
    std::ifstream status(task_directory(pid) + "/" + thread + "/status");
    for (std::string line; std::getline(status, line);) {
      if (line.starts_with("Cpus_allowed_list:")) {
        result[std::stoi(thread)] = line.substr(line.find_first_not_of(" \t", 18));
      }
    }
  }
  return result;
}

std::uint64_t resident_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmRSS:")) return std::stoull(line.substr(6));
  }
  return 0;
}

}  // namespace reflector::test
