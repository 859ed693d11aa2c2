// reflectord: the address reflector service. It takes no arguments, reads no
// environment, prints nothing, and serves the protocol's UDP port
// (service_port) until SIGINT or SIGTERM, then exits with status 0.
#include "process/start_workers.h"
#include "process/stop_signals.h"
#include "protocol/message_layout.h"

int main(int, char**) {
  const sigset_t stop_set = reflector::stop_signal_set();
  reflector::block_stop_signals(stop_set);
  reflector::start_workers(reflector::service_port);
  reflector::wait_for_stop_signal(stop_set);
  return 0;
}
