// What one load run is to do, as the options decided it.
#pragma once

#include <cstdint>
#include <optional>

#include "protocol/message_layout.h"
#include "tools/common/socket_endpoint.h"

namespace reflector::tools {

struct load_plan {
  socket_endpoint server;
  // FORWARD mode: the endpoint the FORWARD_REPLYs go to; the run binds it
  // itself to receive them. Without it the run sends QUERYs.
  std::optional<socket_endpoint> forward_target;
  unsigned sockets = 8;
  unsigned window = 32;                    // closed loop: requests in flight per socket
  std::optional<double> rate;              // open loop: requests per second in total
  unsigned batch = 64;                     // datagrams per sendmmsg and recvmmsg
  std::size_t request_size = header_size;  // bytes, header included
  double duration_seconds = 10;
  std::optional<std::uint64_t> count;  // stop sending after this many
  double drain_seconds = 0.5;          // wait for late replies after sending
};

}  // namespace reflector::tools
