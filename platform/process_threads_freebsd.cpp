// <sys/user.h> (struct kinfo_proc) needs <sys/param.h> before it.
#include <sys/param.h>
#include <sys/sysctl.h>
#include <sys/user.h>
#include <sys/cpuset.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <span>

#include "platform/process_threads.h"

namespace reflector {
namespace {

// The kinfo_proc records a kern.proc query returns, read whole: records
// added between the sizing call and the read make the read fail with
// ENOMEM, and then it is sized again. nullopt when the query fails (ESRCH:
// no such process, or one hidden from this user) or its records are not of
// this build's size.
std::optional<std::vector<struct kinfo_proc>> process_records(std::span<const int> name) {
  for (;;) {
    std::size_t size = 0;
    if (sysctl(name.data(), static_cast<u_int>(name.size()), nullptr, &size, nullptr, 0) == -1) return std::nullopt;
    const std::size_t listed = size / sizeof(struct kinfo_proc);
    std::vector<struct kinfo_proc> records(listed + listed / 4 + 4);
    size = records.size() * sizeof(struct kinfo_proc);
    if (sysctl(name.data(), static_cast<u_int>(name.size()), records.data(), &size, nullptr, 0) == -1) {
      if (errno == ENOMEM) continue;
      return std::nullopt;
    }
    if (size % sizeof(struct kinfo_proc) != 0) return std::nullopt;
    records.resize(size / sizeof(struct kinfo_proc));
    const auto of_this_size = [](const struct kinfo_proc& record) {
      return record.ki_structsize == sizeof(struct kinfo_proc);
    };
    if (!std::all_of(records.begin(), records.end(), of_this_size)) return std::nullopt;
    return records;
  }
}

std::optional<int> pinned_cpu(lwpid_t thread) {
  cpuset_t cpus;
  CPU_ZERO(&cpus);
  // Fails for a thread that has ended, or on a host with more CPUs than a
  // cpuset_t holds; either way no pinning is known.
  if (cpuset_getaffinity(CPU_LEVEL_WHICH, CPU_WHICH_TID, thread, sizeof cpus, &cpus) == -1) return std::nullopt;
  if (CPU_COUNT(&cpus) != 1) return std::nullopt;
  return CPU_FFS(&cpus) - 1;
}

}  // namespace

std::optional<std::vector<thread_reading>> process_threads(pid_t pid) {
  if (pid <= 0) return std::nullopt;
  const auto records = process_records(std::to_array({CTL_KERN, KERN_PROC, KERN_PROC_PID | KERN_PROC_INC_THREAD, pid}));
  if (!records || records->empty()) return std::nullopt;
  // The kernel lists a process's threads in the order they were created,
  // so the main thread comes first (thread ids do not tell: they are
  // numbered system-wide and reused).
  std::vector<thread_reading> readings;
  readings.reserve(records->size());
  for (const struct kinfo_proc& thread : *records) {
    // ki_runtime: the thread's own run time, in microseconds.
    readings.push_back({thread.ki_tid, static_cast<double>(thread.ki_runtime) / 1e6, pinned_cpu(thread.ki_tid)});
  }
  return readings;
}

std::vector<pid_t> processes_named(std::string_view name, const std::vector<uid_t>& users) {
  std::vector<pid_t> named;
  const auto records = process_records(std::to_array({CTL_KERN, KERN_PROC, KERN_PROC_PROC}));
  if (!records) return named;
  for (const struct kinfo_proc& process : *records) {
    const std::string_view command(process.ki_comm, strnlen(process.ki_comm, sizeof process.ki_comm));
    const auto among = [&](uid_t uid) { return std::find(users.begin(), users.end(), uid) != users.end(); };
    if (command == name && among(process.ki_ruid) && among(process.ki_uid)) named.push_back(process.ki_pid);
  }
  std::sort(named.begin(), named.end());
  return named;
}

}  // namespace reflector
