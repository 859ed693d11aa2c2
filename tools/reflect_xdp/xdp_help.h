// What reflect-xdp --help prints, for the tool and for each command.
#pragma once

namespace reflector::tools {

extern const char* const xdp_help;
extern const char* const attach_help;
extern const char* const detach_help;
extern const char* const status_help;
extern const char* const stats_help;

}  // namespace reflector::tools
