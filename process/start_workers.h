// The worker pool: one detached worker thread per hardware thread.
#pragma once

#include <cstdint>

namespace reflector {

// Starts worker_main(i, port) on a new detached thread for every i below
// std::thread::hardware_concurrency() (none if it reports 0) and returns
// without waiting for any of them. Nothing is kept of the threads. Throws
// std::system_error if a thread cannot be created.
void start_workers(std::uint16_t port);

}  // namespace reflector
