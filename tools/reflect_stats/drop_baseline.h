// What the health check remembers between runs: each socket's drop count
// as of the last check, and where drops are not counted per socket (FreeBSD)
// the system's receive-buffer errors instead. Kept as text, one entry a line:
//   socket ID DROPS
//   system ERRORS
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "tools/reflect_stats/service_snapshot.h"

namespace reflector::tools {

struct drop_baseline {
  std::map<std::uint64_t, std::uint64_t> sockets;       // id -> drops
  std::optional<std::uint64_t> system_receive_errors;  // when some socket has no count
};

drop_baseline baseline_of(const service_snapshot& snapshot);

std::string baseline_text(const drop_baseline& baseline);
// nullopt when text is not what baseline_text writes.
std::optional<drop_baseline> parse_baseline(std::string_view text);

struct drops_found {
  std::uint64_t datagrams = 0;
  std::size_t sockets = 0;  // sockets that dropped any; 0 where only the system's count tells
};

// What was dropped between the two baselines. A socket that is new since
// then (the service restarted) was opened after the last check, so all of
// its drops are new.
drops_found drops_since(const drop_baseline& before, const drop_baseline& now);

}  // namespace reflector::tools
