// SIGINT and SIGTERM are the only way to stop the service. They are blocked
// before any worker exists, so every thread inherits the block and only the
// main thread, waiting for them, ever takes them.
#pragma once

#include <signal.h>

namespace reflector {

// The set holding exactly SIGINT and SIGTERM.
sigset_t stop_signal_set() noexcept;

// Blocks the set in the calling thread.
void block_stop_signals(const sigset_t& stop_set) noexcept;

// Returns once a signal of the set is pending, whichever it is.
void wait_for_stop_signal(const sigset_t& stop_set) noexcept;

}  // namespace reflector
