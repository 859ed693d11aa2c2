// Reading /proc on Linux: its numbered entries (processes, threads,
// descriptors), its files and the fields and numbers in them.
#pragma once

#include <dirent.h>
#include <sys/types.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace reflector::proc {

// The whole of text as a number, or nothing.
inline std::optional<long> whole_number(std::string_view text, int base = 10) {
  long value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// The entries of directory whose names are numbers, in ascending order;
// empty when it cannot be read.
inline std::vector<long> numbered_entries(const std::string& directory) {
  std::vector<long> numbers;
  DIR* listing = opendir(directory.c_str());
  if (listing == nullptr) return numbers;
  while (const dirent* entry = readdir(listing)) {
    if (auto number = whole_number(entry->d_name)) numbers.push_back(*number);
  }
  closedir(listing);
  std::sort(numbers.begin(), numbers.end());
  return numbers;
}

// The whole file; empty when it cannot be read.
inline std::string read_whole(const std::string& path) {
  std::ifstream file(path);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// Field `number` of a stat file (proc(5) numbers them from 1: 1 the id, 2
// the command name, 3 the state, 22 the start time). The command name is
// in parentheses and may itself hold spaces and parentheses, so the fields
// after it are counted from its last ')'. Empty when there is no such field.
inline std::string stat_field(const std::string& stat, int number) {
  const auto name_end = stat.rfind(')');
  if (number < 3 || name_end == std::string::npos) return {};
  std::istringstream fields(stat.substr(name_end + 1));
  std::string field;
  for (int at = 3; at <= number; ++at) {
    if (!(fields >> field)) return {};
  }
  return field;
}

}  // namespace reflector::proc
