// Which process, and which of its threads, holds a socket, so that a
// socket's figures can be put next to the worker that serves it.
//   Linux:   the process from the descriptors under /proc/PID/fd; the
//            thread from what each thread of that process is blocked in
//            (/proc/PID/task/TID/syscall): a wait on an event queue that
//            watches the socket (/proc/PID/fdinfo), or a receive or send on
//            the socket itself. A thread busy in user space says nothing,
//            so the threads are asked again and again, for up to
//            thread_sampling_time, until every socket has its thread. A
//            thread that never waits in that time (a saturated worker), or
//            that was stopped outside a call, leaves its socket without
//            thread; so does a socket two threads wait on. Another user's
//            descriptors need CAP_SYS_PTRACE, and threads' calls need the
//            right to trace them: unprivileged, another user's sockets stay
//            without owner.
//   FreeBSD: the process from the kern.file sysctl; the thread is not
//            known.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace reflector {

struct socket_owner {
  pid_t pid = 0;
  std::optional<pid_t> thread;  // the thread that waits on it, where known
};

inline constexpr std::chrono::milliseconds thread_sampling_time{500};

// A thread once seen serving a socket. It still serves it while the same
// process holds the socket and the thread lives: a thread started later
// under the same id has another start time.
struct thread_match {
  pid_t pid = 0;
  pid_t thread = 0;
  std::uint64_t thread_started = 0;  // in the system's own units
};

// Matches kept from one reading to the next, by socket id, by a caller that
// reads again and again (a table a second, an exporter): a worker too busy
// to be seen waiting keeps the thread an earlier reading found.
using thread_matches = std::map<std::uint64_t, thread_match>;

// The owners of the sockets named by ids (udp_port_socket::id). A socket
// whose owner cannot be seen is not in the result. Matches in remembered
// that still stand are used without asking the threads again; the matches
// of this reading replace them, and those of sockets gone are forgotten.
std::map<std::uint64_t, socket_owner> socket_owners(const std::vector<std::uint64_t>& ids,
                                                    thread_matches& remembered);

}  // namespace reflector
