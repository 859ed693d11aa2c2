// The threads of a process and the CPU time each has used, so that the
// balance of work between a service's workers can be seen; and finding a
// process by its command name when its sockets' owner cannot be seen.
//   Linux:   /proc/PID/task/TID/stat (utime, stime) and the CPUs the thread
//            may run on (/proc/PID/task/TID/status); readable by any user.
//   FreeBSD: the kern.proc.pid sysctl with KERN_PROC_INC_THREAD, and the
//            thread's CPU set (cpuset_getaffinity).
#pragma once

#include <sys/types.h>

#include <optional>
#include <string_view>
#include <vector>

namespace reflector {

struct thread_reading {
  pid_t thread = 0;
  double cpu_seconds = 0;          // user plus system, since it started
  std::optional<int> pinned_cpu;   // the one CPU it may run on, if only one
};

// Every thread of process pid, the main thread first. nullopt when pid
// names no process this user may see.
std::optional<std::vector<thread_reading>> process_threads(pid_t pid);

// The processes whose command name is name and whose real and effective
// users are both among users, in ascending order: any user may give a
// process any name, but not another user's identity. On Linux, a process
// seen to be in another network namespace than the caller's is left out:
// its sockets are not the ones this namespace serves. (Another user's
// namespace cannot be seen without privilege; such a process stays.)
std::vector<pid_t> processes_named(std::string_view name, const std::vector<uid_t>& users);

}  // namespace reflector
