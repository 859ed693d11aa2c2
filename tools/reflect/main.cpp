// reflect: the client. Dispatches to a subcommand and turns its failures
// into one line on stderr and an exit status.
#include <cstdio>
#include <cstring>
#include <string>
#include <system_error>
#include <vector>

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
  std::fprintf(stderr, "%s: %s\n", who.c_str(), message.c_str());
  return status;
}

int run(const std::vector<std::string>& args) {
  if (args.empty()) {
    return fail("reflect", "missing command: query, forward, listen or nat (see reflect --help)",
                exit_bad_input);
  }
  if (args[0] == "-h" || args[0] == "--help") {
    std::fputs(reflect_help.c_str(), stdout);
    return exit_ok;
  }
  const subcommand* command = find_subcommand(args[0]);
  if (command == nullptr) {
    return fail("reflect", "unknown command '" + args[0] + "' (see reflect --help)",
                exit_bad_input);
  }
  const std::string who = std::string("reflect ") + command->name;
  try {
    return command->run(std::vector<std::string>(args.begin() + 1, args.end()));
  } catch (const usage_error& error) {
    return fail(who, error.what(), exit_bad_input);
  } catch (const no_answer& error) {
    return fail(who, error.what(), exit_no_answer);
  } catch (const std::system_error& error) {
    return fail(who, error.what(), exit_no_answer);
  } catch (const std::exception& error) {
    return fail(who, error.what(), exit_no_answer);
  }
}

}  // namespace

int main(int argc, char** argv) {
  return run(std::vector<std::string>(argv + 1, argv + argc));
}
