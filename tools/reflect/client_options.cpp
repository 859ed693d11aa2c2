#include "tools/reflect/client_options.h"

namespace reflector::tools {

void add_client_options(command_line& line, client_options& options, bool with_retries) {
  line.add_family(options.family);
  line.add_flag("--json", options.json);
  if (with_retries) {
    line.add_count("--tries", options.tries, 1, 100);
    line.add_seconds("--timeout", options.timeout_seconds, 0.001, 60);
  }
}

}  // namespace reflector::tools
