// The client's subcommands. Each takes the arguments after its name, prints
// its result on stdout and returns the exit status; bad input throws
// usage_error, a silent server no_answer.
#pragma once

#include <string>
#include <vector>

namespace reflector::tools {

int run_query(const std::vector<std::string>& args);
int run_forward(const std::vector<std::string>& args);
int run_listen(const std::vector<std::string>& args);
int run_nat(const std::vector<std::string>& args);

}  // namespace reflector::tools
