#include "process/stop_signals.h"

namespace reflector {

sigset_t stop_signal_set() noexcept {
  sigset_t stop_set;
  sigemptyset(&stop_set);
  sigaddset(&stop_set, SIGINT);
  sigaddset(&stop_set, SIGTERM);
  return stop_set;
}

void block_stop_signals(const sigset_t& stop_set) noexcept {
  sigprocmask(SIG_BLOCK, &stop_set, nullptr);
}

void wait_for_stop_signal(const sigset_t& stop_set) noexcept {
  int signal_number = 0;
  sigwait(&stop_set, &signal_number);
}

}  // namespace reflector
