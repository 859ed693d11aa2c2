// reflect-stats' --help text.
#pragma once

namespace reflector::tools {

extern const char* const stats_help;

}  // namespace reflector::tools
