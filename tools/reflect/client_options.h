// The options the client's commands share: address family, retries, output.
#pragma once

#include "tools/common/command_line.h"
#include "tools/common/endpoint_argument.h"
#include "tools/reflect/exchange.h"

namespace reflector::tools {

struct client_options {
  address_family family = address_family::any;
  unsigned tries = 3;
  double timeout_seconds = 0.5;
  bool json = false;

  retry_policy retry() const {
    return {tries, std::chrono::duration<double>(timeout_seconds)};
  }
};

// -4, -6 and --json, plus --tries and --timeout when with_retries, read
// into options.
void add_client_options(command_line& line, client_options& options, bool with_retries);

}  // namespace reflector::tools
