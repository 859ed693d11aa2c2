#include <sys/socket.h>

#include <vector>

#include "platform/event_queue.h"
#include "worker/batch_handling.h"
#include "worker/batch_slots.h"

namespace reflector {

// A failed or empty wait is repeated and a failed or empty receive moves on,
// because neither leaves anything to clean up and the next may succeed. A
// send is looked at only so that one refused reply does not take the rest
// of its run with it (see send_run). Datagrams left after a full batch keep
// the socket readable, so the next wait returns at once.
void receive_reply_loop(int kq) {
  std::vector<struct kevent> events(event_capacity);
  batch_slot_arrays& slots = batch_slots;
  for (;;) {
    const int ready = kevent(kq, nullptr, 0, events.data(), static_cast<int>(events.size()),
                             nullptr);
    for (int i = 0; i < ready; ++i) {
      const int descriptor = static_cast<int>(events[i].ident);
      const int received =
          recvmmsg(descriptor, slots.headers.data(), slots.headers.size(), 0, nullptr);
      if (received <= 0) continue;
      handle_batch(slots, static_cast<std::size_t>(received), reflection_handler{},
                   [descriptor](mmsghdr* first, unsigned count) noexcept {
                     return sendmmsg(descriptor, first, count, 0);
                   });
    }
  }
}

}  // namespace reflector
