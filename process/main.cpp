// reflectord: the address reflector service. It takes no arguments, reads no
// environment, prints nothing, and serves UDP port 1213 until SIGINT or
// SIGTERM, then exits with status 0.
#include <cstdint>

#include "process/start_workers.h"
#include "process/stop_signals.h"

int main(int, char**) {
  constexpr std::uint16_t listen_port = 1213;
  const sigset_t stop_set = reflector::stop_signal_set();
  reflector::block_stop_signals(stop_set);
  reflector::start_workers(listen_port);
  reflector::wait_for_stop_signal(stop_set);
  return 0;
}
