#include "tools/reflect_stats/drop_baseline.h"

#include <charconv>
#include <sstream>
#include <vector>

namespace reflector::tools {

drop_baseline baseline_of(const service_snapshot& snapshot) {
  drop_baseline baseline;
  bool every_socket_counts = true;
  for (const auto& one : snapshot.sockets) {
    if (one.socket.drops) {
      baseline.sockets[one.socket.id] = *one.socket.drops;
    } else {
      every_socket_counts = false;
    }
  }
  if (!every_socket_counts) {
    std::uint64_t errors = 0;
    for (const auto& reading : snapshot.udp) errors += reading.receive_buffer_errors.value_or(0);
    baseline.system_receive_errors = errors;
  }
  return baseline;
}

std::string baseline_text(const drop_baseline& baseline) {
  std::string text;
  for (const auto& [id, drops] : baseline.sockets) {
    text += "socket " + std::to_string(id) + " " + std::to_string(drops) + "\n";
  }
  if (baseline.system_receive_errors) text += "system " + std::to_string(*baseline.system_receive_errors) + "\n";
  return text;
}

namespace {

// A count as the baseline writes it: digits alone (istream would take "-2").
std::optional<std::uint64_t> count_in(const std::string& word) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
  if (error != std::errc{} || end != word.data() + word.size() || word.empty()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<drop_baseline> parse_baseline(std::string_view text) {
  drop_baseline baseline;
  std::istringstream lines{std::string(text)};
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::vector<std::string> words;
    for (std::string word; fields >> word;) words.push_back(word);
    if (words.size() == 3 && words[0] == "socket" && count_in(words[1]) && count_in(words[2])) {
      baseline.sockets[*count_in(words[1])] = *count_in(words[2]);
    } else if (words.size() == 2 && words[0] == "system" && count_in(words[1])) {
      baseline.system_receive_errors = count_in(words[1]);
    } else {
      return std::nullopt;
    }
  }
  return baseline;
}

drops_found drops_since(const drop_baseline& before, const drop_baseline& now) {
  drops_found found;
  for (const auto& [id, drops] : now.sockets) {
    const auto earlier = before.sockets.find(id);
    // A count below the last one belongs to a new socket that reuses the id.
    const std::uint64_t since =
        earlier == before.sockets.end() || earlier->second > drops ? drops : drops - earlier->second;
    if (since == 0) continue;
    found.datagrams += since;
    ++found.sockets;
  }
  if (now.system_receive_errors && before.system_receive_errors &&
      *now.system_receive_errors > *before.system_receive_errors) {
    found.datagrams += *now.system_receive_errors - *before.system_receive_errors;
  }
  return found;
}

}  // namespace reflector::tools
