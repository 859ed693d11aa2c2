// reflect-xdp: attaches the fast path, detaches it, and reports on it.
// Dispatches to a command and turns its failures into one line on stderr
// and exit status 1.
#include <cstdio>
#include <string>
#include <vector>

#include "platform/xdp/fast_path_program.h"
#include "tools/common/command_line.h"
#include "tools/common/shown_argument.h"
#include "tools/common/tool_errors.h"
#include "tools/reflect_xdp/xdp_commands.h"
#include "tools/reflect_xdp/xdp_help.h"

namespace {

using namespace reflector::tools;

struct command {
  const char* name;
  int (*run)(const std::vector<std::string>&);
};

constexpr command commands[] = {
    {"attach", run_attach}, {"detach", run_detach}, {"status", run_status}, {"stats", run_stats}};

const command* find_command(const std::string& name) {
  for (const auto& one : commands) {
    if (name == one.name) return &one;
  }
  return nullptr;
}

int run_without_command(const std::vector<std::string>& args) {
  if (args.empty()) {
    throw usage_error("missing command: attach, detach, status or stats (see reflect-xdp --help)");
  }
  // A first word that is no option names the command, whatever follows.
  if (!args[0].starts_with("-")) {
    throw usage_error("unknown command " + quoted_argument(args[0]) + " (see reflect-xdp --help)");
  }
  std::string name;
  command_line line("reflect-xdp", xdp_help);
  line.add_positional("COMMAND", name);
  if (!line.parse(args)) return exit_ok;
  throw usage_error("unknown command " + quoted_argument(name) + " (see reflect-xdp --help)");
}

int run(const std::vector<std::string>& args) {
  const command* found = args.empty() ? nullptr : find_command(args[0]);
  const std::string who = found ? std::string("reflect-xdp ") + found->name : "reflect-xdp";
  try {
    if (!found) return run_without_command(args);
    return found->run(std::vector<std::string>(args.begin() + 1, args.end()));
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s: %s\n", who.c_str(), one_line(error.what()).c_str());
    return exit_bad_input;
  }
}

}  // namespace

int main(int argc, char** argv) {
  return run(std::vector<std::string>(argv + 1, argv + argc));
}
