#include "tools/common/version.h"

namespace reflector::tools {

const std::string& project_version() {
  static const std::string version = REFLECTOR_VERSION;
  return version;
}

}  // namespace reflector::tools
