#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <string_view>

#include "platform/process_cpu_time.h"

namespace reflector {

std::optional<double> process_cpu_seconds(pid_t pid) noexcept {
  if (pid <= 0) return std::nullopt;
  char path[32];
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd == -1) return std::nullopt;
  // The kernel hands the whole line over in one read: a few hundred bytes.
  char line[4096];
  const ssize_t length = read(fd, line, sizeof line);
  close(fd);
  if (length <= 0) return std::nullopt;

  // The command name may hold spaces and parentheses; the fields after the
  // last ')' start with field 3 (state). utime and stime are fields 14, 15.
  const std::string_view stat(line, static_cast<std::size_t>(length));
  const auto name_end = stat.rfind(')');
  if (name_end == std::string_view::npos) return std::nullopt;
  const char* cursor = stat.data() + name_end + 1;
  const char* const end = stat.data() + stat.size();
  unsigned long long ticks = 0;
  for (int number = 3; number <= 15; ++number) {
    while (cursor < end && *cursor == ' ') ++cursor;
    const char* const field_end = std::find(cursor, end, ' ');
    if (cursor == field_end) return std::nullopt;
    if (number >= 14) {
      unsigned long long value = 0;
      const auto [stop, error] = std::from_chars(cursor, field_end, value);
      if (error != std::errc{} || stop != field_end) return std::nullopt;
      ticks += value;
    }
    cursor = field_end;
  }
  const long ticks_per_second = sysconf(_SC_CLK_TCK);
  if (ticks_per_second <= 0) return std::nullopt;
  return static_cast<double>(ticks) / static_cast<double>(ticks_per_second);
}

}  // namespace reflector
