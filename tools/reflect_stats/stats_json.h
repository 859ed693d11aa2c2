// reflect-stats --json: one JSON object with every figure of a reading;
// what is not known (a socket's owner, drops on a system that does not
// count them) is null.
#pragma once

#include <string>

#include "tools/reflect_stats/service_snapshot.h"

namespace reflector::tools {

std::string stats_json(const service_snapshot& snapshot);

}  // namespace reflector::tools
