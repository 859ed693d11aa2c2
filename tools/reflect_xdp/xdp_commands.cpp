#include "tools/reflect_xdp/xdp_commands.h"

#include <cstdio>
#include <optional>

#include "platform/xdp/fast_path_pins.h"
#include "tools/common/command_line.h"
#include "tools/common/shown_argument.h"
#include "tools/common/tool_errors.h"
#include "tools/reflect_xdp/counter_report.h"
#include "tools/reflect_xdp/xdp_help.h"

namespace reflector::tools {
namespace {

std::optional<xdp::attach_mode> read_mode(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  if (*text == "native") return xdp::attach_mode::native;
  if (*text == "generic") return xdp::attach_mode::generic;
  throw usage_error("--mode: must be native or generic, not " + quoted_argument(*text));
}

void print(const std::string& text) { std::fputs(text.c_str(), stdout); }

}  // namespace

int run_attach(const std::vector<std::string>& args) {
  std::string interface;
  std::optional<std::string> mode_text;
  command_line line("reflect-xdp attach", attach_help);
  line.add_positional("IFACE", interface);
  line.add_text("--mode", mode_text);
  if (!line.parse(args)) return exit_ok;
  const auto mode = read_mode(mode_text);
  const auto outcome = xdp::attach_fast_path(interface, mode);
  if (outcome == xdp::attach_outcome::attached) {
    print("attached to " + interface + " in " + xdp::mode_name(mode.value_or(xdp::attach_mode::native)) +
          " mode\n");
  } else {
    print("already attached to " + interface + "; read the host's addresses again\n");
  }
  return exit_ok;
}

int run_detach(const std::vector<std::string>& args) {
  std::string interface;
  command_line line("reflect-xdp detach", detach_help);
  line.add_positional("IFACE", interface);
  if (!line.parse(args)) return exit_ok;
  xdp::detach_fast_path(interface);
  print("detached from " + interface + "\n");
  return exit_ok;
}

int run_status(const std::vector<std::string>& args) {
  bool json = false;
  command_line line("reflect-xdp status", status_help);
  line.add_flag("--json", json);
  if (!line.parse(args)) return exit_ok;
  const auto attachments = xdp::attached_fast_paths();
  print(json ? status_json(attachments) + "\n" : status_lines(attachments));
  return exit_ok;
}

int run_stats(const std::vector<std::string>& args) {
  std::optional<std::string> interface;
  bool json = false;
  command_line line("reflect-xdp stats", stats_help);
  line.add_optional_positional("IFACE", interface);
  line.add_flag("--json", json);
  if (!line.parse(args)) return exit_ok;
  const auto attachments = xdp::attached_fast_paths();
  xdp::counter_readings total;
  bool found = !interface;
  for (const auto& one : attachments) {
    if (interface && one.interface != *interface) continue;
    total += one.counters;
    found = true;
  }
  if (!found)
    throw xdp::fast_path_error("the fast path is not attached to " + quoted_argument(*interface));
  print(json ? counters_json(total) + "\n" : counters_table(total));
  return exit_ok;
}

}  // namespace reflector::tools
