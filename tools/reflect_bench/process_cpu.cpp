#include "tools/reflect_bench/process_cpu.h"

#include <sys/resource.h>

namespace reflector::tools {

double own_cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace reflector::tools
