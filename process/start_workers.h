// The worker pool: one detached worker thread per CPU the process may use.
#pragma once

#include <cstdint>

namespace reflector {

// Starts worker_main(cpu, port) on a new detached thread for every CPU that
// worker_cpus() names, in ascending order, and returns without waiting for
// any of them. Nothing is kept of the threads. Throws std::system_error if a
// thread cannot be created.
void start_workers(std::uint16_t port);

}  // namespace reflector
