// What 'reflect --help' and 'reflect COMMAND --help' print.
#pragma once

#include <string>

namespace reflector::tools {

extern const std::string reflect_help;
extern const std::string query_help;
extern const std::string forward_help;
extern const std::string listen_help;
extern const std::string nat_help;

}  // namespace reflector::tools
