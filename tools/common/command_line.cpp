#include "tools/common/command_line.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>

#include "tools/common/tool_errors.h"

namespace reflector::tools {
namespace {

const known_option* find_option(const std::vector<known_option>& options, const std::string& name) {
  for (const auto& option : options) {
    if (option.name == name) return &option;
  }
  return nullptr;
}

std::string plain_number(double number) {
  std::ostringstream out;
  out << number;
  return out.str();
}

bool looks_like_option(const std::string& arg) {
  return arg.size() > 1 && arg[0] == '-';
}

}  // namespace

command_line::command_line(const std::vector<std::string>& args,
                           const std::vector<known_option>& options) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--") {
      positionals_.insert(positionals_.end(), args.begin() + static_cast<long>(i) + 1, args.end());
      return;
    }
    if (!looks_like_option(arg)) {
      positionals_.push_back(arg);
      continue;
    }
    const auto equals = arg.find('=');
    const std::string name = arg.substr(0, equals);
    const known_option* option = find_option(options, name);
    if (option == nullptr) throw usage_error("unknown option '" + name + "'");
    if (!option->takes_value) {
      if (equals != std::string::npos) throw usage_error("option " + name + " takes no value");
      values_[name] = "";
    } else if (equals != std::string::npos) {
      values_[name] = arg.substr(equals + 1);
    } else if (i + 1 < args.size()) {
      values_[name] = args[++i];
    } else {
      throw usage_error("option " + name + " needs a value");
    }
  }
}

std::optional<std::string> command_line::value(const std::string& name) const {
  const auto found = values_.find(name);
  if (found == values_.end()) return std::nullopt;
  return found->second;
}

void command_line::expect_positionals(std::size_t least, std::size_t most,
                                      const std::string& names) const {
  if (positionals_.size() < least) throw usage_error("missing argument: expected " + names);
  if (positionals_.size() > most) {
    throw usage_error("unexpected argument '" + positionals_[most] + "': expected " + names);
  }
}

unsigned long long parse_count(const std::string& text, const std::string& what,
                               unsigned long long least, unsigned long long most) {
  const std::string range = std::to_string(least) + " to " + std::to_string(most);
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
    throw usage_error(what + " must be a whole number from " + range + ", not '" + text + "'");
  }
  errno = 0;
  const unsigned long long number = std::strtoull(text.c_str(), nullptr, 10);
  if (errno == ERANGE || number < least || number > most) {
    throw usage_error(what + " must be from " + range + ", not " + text);
  }
  return number;
}

double parse_seconds(const std::string& text, const std::string& what, double least,
                     double most) {
  char* end = nullptr;
  errno = 0;
  const double seconds = std::strtod(text.c_str(), &end);
  if (text.empty() || end != text.c_str() + text.size() || errno == ERANGE ||
      !std::isfinite(seconds)) {
    throw usage_error(what + " must be a number of seconds, not '" + text + "'");
  }
  if (seconds < least || seconds > most) {
    throw usage_error(what + " must be from " + plain_number(least) + " to " +
                      plain_number(most) + " seconds, not " + text);
  }
  return seconds;
}

}  // namespace reflector::tools
