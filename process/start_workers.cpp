#include "process/start_workers.h"

#include <thread>

#include "worker/batch_slots.h"

namespace reflector {

void start_workers(std::uint16_t port) {
  const unsigned worker_count = std::thread::hardware_concurrency();
  for (unsigned i = 0; i < worker_count; ++i) {
    std::thread(worker_main, static_cast<std::int32_t>(i), port).detach();
  }
}

}  // namespace reflector
