// What 'reflect-bench --help' prints.
#pragma once

namespace reflector::tools {

extern const char* const bench_help;

}  // namespace reflector::tools
