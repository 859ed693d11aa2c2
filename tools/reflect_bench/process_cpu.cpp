#include "tools/reflect_bench/process_cpu.h"

#include <sys/resource.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace reflector::tools {

std::optional<double> process_cpu_seconds(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  if (!file) return std::nullopt;
  const std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  // The command name may hold spaces and parentheses; the fields after the
  // last ')' start with field 3 (state). utime and stime are fields 14, 15.
  const auto close = stat.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(stat.substr(close + 1));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int number = 3; number <= 15 && fields >> field; ++number) {
    if (number == 14) utime = std::stoull(field);
    if (number == 15) stime = std::stoull(field);
  }
  if (!fields) return std::nullopt;
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double own_cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace reflector::tools
