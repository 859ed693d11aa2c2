#include "tools/common/tool_errors.h"
#include "tools/reflect_stats/metrics_server.h"

namespace reflector::tools {

// Built where no HTTP server library was found at configure time.
void serve_metrics(const std::string&, const snapshot_options&) {
  throw usage_error(
      "--listen is not in this build (it was built without cpp-httplib): use --prometheus with a textfile "
      "collector");
}

}  // namespace reflector::tools
