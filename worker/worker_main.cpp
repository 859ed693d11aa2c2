#include "worker/batch_slots.h"
#include "worker/cpu_pinning.h"

namespace reflector {

// Pinning comes first, so that the queue, the socket and the slots are all
// made on the worker's own CPU.
void worker_main(std::int32_t cpu, std::uint16_t port) {
  pin_to_cpu(cpu);
  const int kq = open_endpoint(port);
  prepare_batch_slots();
  receive_reply_loop(kq);
}

}  // namespace reflector
