#include "tools/reflect/client_options.h"

#include "tools/common/tool_errors.h"

namespace reflector::tools {

std::vector<known_option> client_known_options(bool with_retries) {
  std::vector<known_option> options{{"-4"}, {"-6"}, {"--json"}};
  if (with_retries) {
    options.push_back({"--tries", true});
    options.push_back({"--timeout", true});
  }
  return options;
}

client_options read_client_options(const command_line& line) {
  client_options options;
  if (line.has("-4") && line.has("-6")) throw usage_error("-4 and -6 exclude each other");
  if (line.has("-4")) options.family = address_family::ipv4;
  if (line.has("-6")) options.family = address_family::ipv6;
  options.json = line.has("--json");
  if (const auto tries = line.value("--tries")) {
    options.retry.tries = static_cast<unsigned>(parse_count(*tries, "--tries", 1, 100));
  }
  if (const auto timeout = line.value("--timeout")) {
    options.retry.first_timeout =
        std::chrono::duration<double>(parse_seconds(*timeout, "--timeout", 0.001, 60));
  }
  return options;
}

bool asks_for_help(const std::vector<std::string>& args) {
  for (const auto& arg : args) {
    if (arg == "--") return false;
    if (arg == "-h" || arg == "--help") return true;
  }
  return false;
}

}  // namespace reflector::tools
