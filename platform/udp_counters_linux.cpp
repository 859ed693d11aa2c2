#include <cerrno>
#include <charconv>
#include <fstream>
#include <map>
#include <sstream>
#include <system_error>

#include "platform/udp_counters.h"

namespace reflector {
namespace {

using named_counters = std::map<std::string, std::uint64_t, std::less<>>;

std::optional<std::uint64_t> number_in(const std::string& text) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// /proc/net/snmp gives each protocol two lines, names then values:
//   Udp: InDatagrams NoPorts ...
//   Udp: 12 0 ...
// Counters come back as "Udp:InDatagrams".
named_counters counters_in_snmp(std::string_view text) {
  named_counters counters;
  std::istringstream lines{std::string(text)};
  std::string names;
  std::string values;
  while (std::getline(lines, names) && std::getline(lines, values)) {
    std::istringstream name_fields(names);
    std::istringstream value_fields(values);
    std::string protocol;
    std::string value_protocol;
    if (!(name_fields >> protocol) || !(value_fields >> value_protocol) || protocol != value_protocol) {
      continue;
    }
    std::string name;
    std::string value;
    while (name_fields >> name && value_fields >> value) {
      if (auto number = number_in(value)) counters[protocol + name] = *number;
    }
  }
  return counters;
}

// /proc/net/snmp6 gives one counter a line: "Udp6InDatagrams   12".
named_counters counters_in_snmp6(std::string_view text) {
  named_counters counters;
  std::istringstream lines{std::string(text)};
  std::string name;
  std::string value;
  while (lines >> name >> value) {
    if (auto number = number_in(value)) counters[name] = *number;
  }
  return counters;
}

std::optional<std::uint64_t> counter(const named_counters& counters, std::string_view name) {
  const auto found = counters.find(name);
  if (found == counters.end()) return std::nullopt;
  return found->second;
}

udp_counters reading(const named_counters& counters, const std::string& family, const std::string& udp,
                     const std::string& ip) {
  udp_counters one;
  one.family = family;
  one.in_datagrams = counter(counters, udp + "InDatagrams");
  one.out_datagrams = counter(counters, udp + "OutDatagrams");
  one.in_errors = counter(counters, udp + "InErrors");
  one.receive_buffer_errors = counter(counters, udp + "RcvbufErrors");
  one.send_buffer_errors = counter(counters, udp + "SndbufErrors");
  one.checksum_errors = counter(counters, udp + "InCsumErrors");
  one.no_port = counter(counters, udp + "NoPorts");
  one.out_no_route = counter(counters, ip + "OutNoRoutes");
  return one;
}

std::string read_proc_file(const char* path) {
  std::ifstream file(path);
  if (!file) throw std::system_error(errno, std::generic_category(), path);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

}  // namespace

std::vector<udp_counters> udp_counters_from_proc(std::string_view snmp, std::string_view snmp6) {
  const auto ipv4 = counters_in_snmp(snmp);
  const auto ipv6 = counters_in_snmp6(snmp6);
  return {reading(ipv4, "ipv4", "Udp:", "Ip:"), reading(ipv6, "ipv6", "Udp6", "Ip6")};
}

std::vector<udp_counters> system_udp_counters() {
  return udp_counters_from_proc(read_proc_file("/proc/net/snmp"), read_proc_file("/proc/net/snmp6"));
}

}  // namespace reflector
