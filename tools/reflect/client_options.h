// The options the client's commands share: address family, retries, output.
#pragma once

#include <string>
#include <vector>

#include "tools/common/command_line.h"
#include "tools/common/endpoint_argument.h"
#include "tools/reflect/exchange.h"

namespace reflector::tools {

struct client_options {
  address_family family = address_family::any;
  retry_policy retry;
  bool json = false;
};

// -4, -6 and --json, plus --tries and --timeout when with_retries.
std::vector<known_option> client_known_options(bool with_retries);
client_options read_client_options(const command_line& line);

// True when args ask for help before any "--".
bool asks_for_help(const std::vector<std::string>& args);

}  // namespace reflector::tools
