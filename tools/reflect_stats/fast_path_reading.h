// The fast path's attachments and counters as reflect-stats reports them.
// Reading its pins takes the right to use bpf() (root, or CAP_BPF) and to
// search the BPF file system; without it the state says why.
#pragma once

#include "tools/reflect_stats/service_snapshot.h"

namespace reflector::tools {

fast_path_state read_fast_path();

}  // namespace reflector::tools
