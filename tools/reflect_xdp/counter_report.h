// The fast path's counters and attachments as an operator reads them: a
// table, or JSON for scripts. Pure formatting, so that it can be tested
// without a kernel.
#pragma once

#include <string>
#include <vector>

#include "platform/xdp/fast_path_pins.h"

namespace reflector::tools {

// "answered", "dropped_short", ...: the reasons' names in output.
const char* reason_name(fast_path_reason reason);
// "ipv4", "ipv6", "other".
const char* family_name(fast_path_family family);

// One row per reason that counted anything (every reason with all_reasons),
// a column per family and the total.
std::string counters_table(const xdp::counter_readings& counters);
// {"answered":{"ipv4":N,"ipv6":N,"other":N,"total":N},...}: every reason.
std::string counters_json(const xdp::counter_readings& counters);

std::string status_lines(const std::vector<xdp::attachment>& attachments);
std::string status_json(const std::vector<xdp::attachment>& attachments);

}  // namespace reflector::tools
