// reflect: the client. Dispatches to a subcommand and turns its failures
// into one line on stderr and an exit status.
#include <cstdio>
#include <string>
#include <system_error>
#include <vector>

#include "tools/common/command_line.h"
#include "tools/common/shown_argument.h"
#include "tools/common/tool_errors.h"
#include "tools/reflect/commands.h"
#include "tools/reflect/help_text.h"

namespace {

using namespace reflector::tools;

struct subcommand {
  const char* name;
  int (*run)(const std::vector<std::string>&);
};

constexpr subcommand subcommands[] = {
    {"query", run_query}, {"forward", run_forward}, {"listen", run_listen}, {"nat", run_nat}};

const subcommand* find_subcommand(const std::string& name) {
  for (const auto& command : subcommands) {
    if (name == command.name) return &command;
  }
  return nullptr;
}

int fail(const std::string& who, const std::string& message, int status) {
  std::fprintf(stderr, "%s: %s\n", who.c_str(), one_line(message).c_str());
  return status;
}

// Without a command: help, the version, or a mistake.
int run_without_command(const std::vector<std::string>& args) {
  if (args.empty()) {
    throw usage_error("missing command: query, forward, listen or nat (see reflect --help)");
  }
  // A first word that is no option names the command, whatever follows.
  if (!args[0].starts_with("-")) {
    throw usage_error("unknown command " + quoted_argument(args[0]) + " (see reflect --help)");
  }
  std::string command;
  command_line line("reflect", reflect_help);
  line.add_positional("COMMAND", command);
  if (!line.parse(args)) return exit_ok;
  throw usage_error("unknown command " + quoted_argument(command) + " (see reflect --help)");
}

int run(const std::vector<std::string>& args) {
  const subcommand* command = args.empty() ? nullptr : find_subcommand(args[0]);
  const std::string who = command ? std::string("reflect ") + command->name : "reflect";
  try {
    if (!command) return run_without_command(args);
    return command->run(std::vector<std::string>(args.begin() + 1, args.end()));
  } catch (const usage_error& error) {
    return fail(who, error.what(), exit_bad_input);
  } catch (const no_answer& error) {
    return fail(who, error.what(), exit_no_answer);
  } catch (const std::exception& error) {
    return fail(who, error.what(), exit_no_answer);
  }
}

}  // namespace

int main(int argc, char** argv) {
  return run(std::vector<std::string>(argv + 1, argv + argc));
}
