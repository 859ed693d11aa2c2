// What 'reflect-bench --help' prints.
#pragma once

#include <string>

namespace reflector::tools {

extern const std::string bench_help;

}  // namespace reflector::tools
