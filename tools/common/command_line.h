// A small command-line reader: long options with or without a value
// ("--tries 3", "--tries=3"), short flags ("-4"), and positional arguments.
// Anything it does not know is a usage_error naming the argument.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace reflector::tools {

struct known_option {
  std::string name;  // as typed: "--tries", "-4"
  bool takes_value = false;
};

class command_line {
 public:
  // args excludes the program and subcommand names. "--" ends the options.
  command_line(const std::vector<std::string>& args, const std::vector<known_option>& options);

  bool has(const std::string& name) const { return values_.count(name) != 0; }
  std::optional<std::string> value(const std::string& name) const;
  const std::vector<std::string>& positionals() const { return positionals_; }

  // Throws unless the positional count lies in [least, most]; names lists
  // what the positionals are, for the message ("SERVER TARGET").
  void expect_positionals(std::size_t least, std::size_t most, const std::string& names) const;

 private:
  std::map<std::string, std::string> values_;
  std::vector<std::string> positionals_;
};

// Numeric option values; the message names the option and the allowed range.
unsigned long long parse_count(const std::string& text, const std::string& what,
                               unsigned long long least, unsigned long long most);
double parse_seconds(const std::string& text, const std::string& what, double least,
                     double most);

}  // namespace reflector::tools
