#include "process/start_workers.h"

#include <thread>

#include "worker/batch_slots.h"
#include "worker/worker_cpus.h"

namespace reflector {

void start_workers(std::uint16_t port) {
  for (const std::int32_t cpu : worker_cpus()) {
    std::thread(worker_main, cpu, port).detach();
  }
}

}  // namespace reflector
