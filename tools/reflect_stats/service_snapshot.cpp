#include "tools/reflect_stats/service_snapshot.h"

namespace reflector::tools {

socket_totals total_over(const std::vector<socket_view>& sockets) {
  socket_totals totals;
  totals.drops = 0;
  for (const auto& one : sockets) {
    totals.queued_bytes += one.socket.queued_bytes;
    totals.receive_buffer_bytes += one.socket.receive_buffer_bytes;
    if (one.socket.drops && totals.drops) {
      *totals.drops += *one.socket.drops;
    } else {
      totals.drops.reset();
    }
  }
  return totals;
}

std::uint64_t fast_path_packets(const fast_path_state& state, std::string_view reason_prefix) {
  std::uint64_t packets = 0;
  for (const auto& attachment : state.attachments) {
    for (const auto& count : attachment.counts) {
      if (count.reason.starts_with(reason_prefix)) packets += count.packets;
    }
  }
  return packets;
}

}  // namespace reflector::tools
