#include "tools/reflect_stats/fast_path_reading.h"

namespace reflector::tools {

// A build without the fast path (FreeBSD, or Linux without clang's BPF
// target or libbpf) has nothing to read.
fast_path_state read_fast_path() { return {}; }

}  // namespace reflector::tools
