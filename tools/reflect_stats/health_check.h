// reflect-stats --check: healthy when a QUERY to the service on this host
// (127.0.0.1, port 1213) is answered within the timeout and no socket on
// the port dropped a datagram since the last check. The drop counts of each
// check are kept in a state file for the next; the first check only
// records them.
#pragma once

#include <string>

#include "tools/reflect_stats/take_snapshot.h"

namespace reflector::tools {

struct check_options {
  std::string state_file;        // empty: default_state_file()
  double timeout_seconds = 1.0;  // for the answer, over every try
  snapshot_options snapshot;
};

struct check_outcome {
  bool healthy = false;
  std::string line;  // what to print: the verdict, why, and the state file
};

// Throws std::runtime_error when the check cannot be made (the state file
// cannot be written, for one).
check_outcome run_check(const check_options& options);

}  // namespace reflector::tools
