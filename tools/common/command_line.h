// A tool's command line, read with CLI11: positionals, options and flags
// bound to the caller's variables, numbers converted and checked against
// their ranges, -4 and -6 kept apart, and -h/--help and --version answered
// with the tool's own texts. Options may come before, between or after the
// positionals; "--" ends them. Every mistake becomes one usage_error line
// naming the argument (shortened, control characters escaped).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/common/endpoint_argument.h"

namespace CLI {
class App;
}

namespace reflector::tools {

class command_line {
 public:
  // name: how --version and messages name the program ("reflect query");
  // help: what -h and --help print.
  command_line(const std::string& name, std::string help);
  ~command_line();
  command_line(const command_line&) = delete;
  command_line& operator=(const command_line&) = delete;

  // A required positional, named as the usage line names it ("SERVER").
  void add_positional(const std::string& name, std::string& into);
  // A positional that may be left out, after the required ones.
  void add_optional_positional(const std::string& name, std::optional<std::string>& into);
  void add_flag(const std::string& name, bool& into);
  void add_text(const std::string& name, std::optional<std::string>& into);
  // Whole numbers from least to most; the variable keeps its value unless
  // the option is given.
  void add_count(const std::string& name, unsigned& into, unsigned least, unsigned most);
  void add_count(const std::string& name, std::optional<std::uint64_t>& into,
                 std::uint64_t least, std::uint64_t most);
  // A finite number of seconds from least to most.
  void add_seconds(const std::string& name, double& into, double least, double most);
  void add_seconds(const std::string& name, std::optional<double>& into, double least,
                   double most);
  // -4 and -6, which exclude each other.
  void add_family(address_family& into);
  // Options that cannot be given together, for the message: "--rate (open loop)".
  void exclude(const std::string& first, const std::string& second);

  // Reads args, the arguments after the program's and the command's names.
  // Returns false when they asked for help or the version, which is then
  // printed on stdout; throws usage_error for anything it cannot take.
  bool parse(const std::vector<std::string>& args);

 private:
  // Throws usage_error for the first argument nothing took.
  void reject_extras() const;

  std::string name_;
  std::string help_;
  std::string positional_names_;  // "SERVER TARGET", for messages
  std::unique_ptr<CLI::App> app_;
};

}  // namespace reflector::tools
