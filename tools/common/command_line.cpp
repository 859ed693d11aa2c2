#include "tools/common/command_line.h"

#include <CLI/CLI.hpp>

#include <cmath>
#include <cstdio>
#include <sstream>

#include "tools/common/shown_argument.h"
#include "tools/common/tool_errors.h"
#include "tools/common/version.h"

namespace reflector::tools {
namespace {

template <typename Number>
std::string number_text(Number number) {
  std::ostringstream out;
  out << number;
  return out.str();
}

// CLI11 converts; the message says what was expected in the tool's words.
template <typename Number>
CLI::Validator within(Number least, Number most, const char* kind, const char* unit) {
  const std::string range = number_text(least) + " to " + number_text(most) + unit;
  return CLI::Validator(
      [=](std::string& text) -> std::string {
        Number number{};
        if (!CLI::detail::lexical_cast(text, number) || !std::isfinite(static_cast<double>(number))) {
          return std::string("must be ") + kind + " from " + range + ", not " + quoted_argument(text);
        }
        if (number < least || number > most) {
          return "must be from " + range + ", not " + shown_argument(text);
        }
        return {};
      },
      "", "");
}

// "-4 excludes -6" as the tools say it.
std::string exclusion_text(const std::string& message) {
  const std::string separator = " excludes ";
  const auto at = message.find(separator);
  if (at == std::string::npos) return one_line(message);
  return message.substr(0, at) + " and " + message.substr(at + separator.size()) +
         " exclude each other";
}

// The option's name as CLI11's message starts: "--tries: ...".
std::string option_named_in(const std::string& message) {
  return message.substr(0, message.find(':'));
}

}  // namespace

command_line::command_line(const std::string& name, std::string help)
    : name_(name), help_(std::move(help)), app_(std::make_unique<CLI::App>("", name)) {
  app_->set_help_flag("-h,--help");
  app_->set_version_flag("--version", project_version());
  app_->allow_extras();  // reported below in the tools' own words
}

command_line::~command_line() = default;

void command_line::add_positional(const std::string& name, std::string& into) {
  app_->add_option(name, into)->required();
  positional_names_ += (positional_names_.empty() ? "" : " ") + name;
}

void command_line::add_optional_positional(const std::string& name,
                                           std::optional<std::string>& into) {
  app_->add_option_function<std::string>(name, [&into](const std::string& text) { into = text; });
  positional_names_ += (positional_names_.empty() ? "[" : " [") + name + "]";
}

void command_line::add_flag(const std::string& name, bool& into) { app_->add_flag(name, into); }

void command_line::add_text(const std::string& name, std::optional<std::string>& into) {
  app_->add_option_function<std::string>(name, [&into](const std::string& text) { into = text; })
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
}

void command_line::add_count(const std::string& name, unsigned& into, unsigned least,
                             unsigned most) {
  app_->add_option(name, into)
      ->check(within(least, most, "a whole number", ""))
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
}

void command_line::add_count(const std::string& name, std::optional<std::uint64_t>& into,
                             std::uint64_t least, std::uint64_t most) {
  app_->add_option_function<std::uint64_t>(name, [&into](const std::uint64_t& n) { into = n; })
      ->check(within(least, most, "a whole number", ""))
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
}

void command_line::add_seconds(const std::string& name, double& into, double least,
                               double most) {
  app_->add_option(name, into)
      ->check(within(least, most, "a number", " seconds"))
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
}

void command_line::add_seconds(const std::string& name, std::optional<double>& into,
                               double least, double most) {
  app_->add_option_function<double>(name, [&into](const double& s) { into = s; })
      ->check(within(least, most, "a number", " seconds"))
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
}

void command_line::add_family(address_family& into) {
  auto* ipv4 = app_->add_flag_callback("-4", [&into] { into = address_family::ipv4; });
  auto* ipv6 = app_->add_flag_callback("-6", [&into] { into = address_family::ipv6; });
  ipv4->excludes(ipv6);
}

void command_line::exclude(const std::string& first, const std::string& second) {
  app_->get_option(first)->excludes(app_->get_option(second));
}

bool command_line::parse(const std::vector<std::string>& args) {
  try {
    app_->parse(std::vector<std::string>(args.rbegin(), args.rend()));
  } catch (const CLI::CallForHelp&) {
    std::fputs(help_.c_str(), stdout);
    return false;
  } catch (const CLI::CallForVersion&) {
    const std::string program = name_.substr(0, name_.find(' '));
    std::printf("%s %s\n", program.c_str(), project_version().c_str());
    return false;
  } catch (const CLI::RequiredError&) {
    reject_extras();  // an unknown option explains a missing argument best
    throw usage_error("missing argument: expected " + positional_names_);
  } catch (const CLI::ExcludesError& error) {
    throw usage_error(exclusion_text(error.what()));
  } catch (const CLI::ArgumentMismatch& error) {
    const std::string message = error.what();
    if (message.find("missing") == std::string::npos) throw usage_error(one_line(message));
    throw usage_error("option " + option_named_in(message) + " needs a value");
  } catch (const CLI::ParseError& error) {
    throw usage_error(one_line(error.what()));
  }
  reject_extras();
  return true;
}

void command_line::reject_extras() const {
  for (const std::string& extra : app_->remaining()) {
    if (extra == "--") continue;
    if (extra.size() > 1 && extra[0] == '-') {
      throw usage_error("unknown option " + quoted_argument(extra));
    }
    throw usage_error("unexpected argument " + quoted_argument(extra) + ": expected " +
                      positional_names_);
  }
}

}  // namespace reflector::tools
