// What /proc tells about a service under test and about the sockets of the
// calling thread's network namespace.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>

namespace reflector::test {

// How many sockets of the namespace are bound to UDP port `port`.
int bound_udp_sockets(std::uint16_t port);

// Waits, bounded (about 10 s), until at least `count` sockets are bound to
// the port; false if they never were.
bool wait_until_bound(std::uint16_t port, int count);

// Waits, bounded (about 10 s), until at least `count` threads of process
// pid are blocked in a wait on an event queue, as idle workers are; false
// if they never were.
bool wait_until_threads_wait(pid_t pid, int count);

// The Cpus_allowed_list of every thread of process pid, by thread id: as
// many entries as the process has threads.
std::map<int, std::string> allowed_cpus_by_thread(pid_t pid);

// The process's resident memory; 0 when it cannot be read.
std::uint64_t resident_kib(pid_t pid);

}  // namespace reflector::test
