#include "tools/reflect_xdp/counter_report.h"

#include <cstdio>

#include "tools/common/json_object.h"

namespace reflector::tools {
namespace {

constexpr const char* reason_names[fast_path_reason_count] = {
    "answered",           "dropped_short",    "dropped_magic",     "dropped_type",
    "passed_forward",     "passed_oversize",  "passed_not_local",  "passed_ip_options",
    "passed_fragment",    "passed_zero_checksum", "passed_bad_source", "passed_malformed",
    "passed_other",
};

constexpr const char* family_names[fast_path_family_count] = {"ipv4", "ipv6", "other"};

std::uint64_t reason_total(const xdp::counter_readings& counters, fast_path_reason reason) {
  std::uint64_t total = 0;
  for (int family = 0; family < fast_path_family_count; ++family)
    total += counters.at(reason, static_cast<fast_path_family>(family));
  return total;
}

std::string row(const char* name, const std::uint64_t (&cells)[fast_path_family_count + 1]) {
  char line[160];
  std::snprintf(line, sizeof line, "%-22s %14llu %14llu %14llu %14llu\n", name,
                static_cast<unsigned long long>(cells[0]), static_cast<unsigned long long>(cells[1]),
                static_cast<unsigned long long>(cells[2]), static_cast<unsigned long long>(cells[3]));
  return line;
}

}  // namespace

const char* reason_name(fast_path_reason reason) { return reason_names[reason]; }
const char* family_name(fast_path_family family) { return family_names[family]; }

std::string counters_table(const xdp::counter_readings& counters) {
  char heading[160];
  std::snprintf(heading, sizeof heading, "%-22s %14s %14s %14s %14s\n", "packets", "ipv4", "ipv6",
                "other", "total");
  std::string table = heading;
  std::uint64_t sums[fast_path_family_count + 1] = {};
  for (int r = 0; r < fast_path_reason_count; ++r) {
    const auto reason = static_cast<fast_path_reason>(r);
    if (reason_total(counters, reason) == 0 && reason != reason_answered) continue;
    std::uint64_t cells[fast_path_family_count + 1] = {};
    for (int f = 0; f < fast_path_family_count; ++f) {
      cells[f] = counters.at(reason, static_cast<fast_path_family>(f));
      cells[fast_path_family_count] += cells[f];
    }
    for (int c = 0; c <= fast_path_family_count; ++c) sums[c] += cells[c];
    table += row(reason_name(reason), cells);
  }
  table += row("all frames", sums);
  return table;
}

std::string counters_json(const xdp::counter_readings& counters) {
  json_object all;
  for (int r = 0; r < fast_path_reason_count; ++r) {
    const auto reason = static_cast<fast_path_reason>(r);
    json_object families;
    for (int f = 0; f < fast_path_family_count; ++f) {
      const auto family = static_cast<fast_path_family>(f);
      families.add_integer(family_name(family), counters.at(reason, family));
    }
    families.add_integer("total", reason_total(counters, reason));
    all.add_raw(reason_name(reason), families.text());
  }
  return all.text();
}

std::string status_lines(const std::vector<xdp::attachment>& attachments) {
  if (attachments.empty()) return "the fast path is attached to no interface\n";
  std::string lines;
  for (const auto& one : attachments) {
    if (!one.attached) {
      lines += one.interface + ": pinned, but the interface has gone (reflect-xdp detach " +
               one.interface + " removes it)\n";
      continue;
    }
    lines += one.interface + ": attached, " + xdp::mode_name(one.mode) + " mode, program " +
             std::to_string(one.program_id) + ", answering for " +
             std::to_string(one.local_addresses) + " local address" +
             (one.local_addresses == 1 ? "" : "es") + ", " +
             std::to_string(one.counters.at(reason_answered, family_ipv4) +
                            one.counters.at(reason_answered, family_ipv6)) +
             " answered\n";
  }
  return lines;
}

std::string status_json(const std::vector<xdp::attachment>& attachments) {
  std::string list;
  for (const auto& one : attachments) {
    json_object entry;
    entry.add_string("interface", one.interface).add_bool("attached", one.attached);
    if (one.attached) entry.add_string("mode", xdp::mode_name(one.mode));
    else entry.add_null("mode");
    entry.add_integer("program_id", one.program_id)
        .add_integer("local_addresses", one.local_addresses)
        .add_integer("answered", one.counters.at(reason_answered, family_ipv4) +
                                     one.counters.at(reason_answered, family_ipv6));
    if (!list.empty()) list += ',';
    list += entry.text();
  }
  std::string array = "[";
  array += list;
  array += ']';
  return json_object().add_raw("attachments", array).text();
}

}  // namespace reflector::tools
