// Reading /proc on Linux: its numbered entries (processes, threads,
// descriptors) and the numbers in its files.
#pragma once

#include <dirent.h>
#include <sys/types.h>

#include <algorithm>
#include <charconv>
#include <optional>
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

}  // namespace reflector::proc
