// Which process, and which of its threads, holds a socket, so that a
// socket's figures can be put next to the worker that serves it.
//   Linux:   the process from the descriptors under /proc/PID/fd; the
//            thread from what each thread of that process is blocked in
//            (/proc/PID/task/TID/syscall): a wait on an event queue that
//            watches the socket (/proc/PID/fdinfo), or a receive or send on
//            the socket itself. Another user's descriptors need
//            CAP_SYS_PTRACE, and threads' calls need the right to trace
//            them: unprivileged, another user's sockets stay without owner.
//   FreeBSD: the process from the kern.file sysctl; the thread is not
//            known.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace reflector {

struct socket_owner {
  pid_t pid = 0;
  std::optional<pid_t> thread;  // the thread that waits on it, where known
};

// The owners of the sockets named by ids (udp_port_socket::id). A socket
// whose owner cannot be seen is not in the result.
std::map<std::uint64_t, socket_owner> socket_owners(const std::vector<std::uint64_t>& ids);

}  // namespace reflector
