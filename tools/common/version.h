// The project's version, set once in the top-level CMakeLists.txt.
#pragma once

#include <string>

namespace reflector::tools {

// "0.1.0"
const std::string& project_version();

}  // namespace reflector::tools
