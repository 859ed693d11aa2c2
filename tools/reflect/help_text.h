// What 'reflect --help' and 'reflect COMMAND --help' print.
#pragma once

namespace reflector::tools {

extern const char* const reflect_help;
extern const char* const query_help;
extern const char* const forward_help;
extern const char* const listen_help;
extern const char* const nat_help;

}  // namespace reflector::tools
