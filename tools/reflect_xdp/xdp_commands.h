// reflect-xdp's commands. Each takes the arguments after its name, prints
// its result on stdout and returns the exit status; bad arguments throw
// usage_error, a refusal of the system xdp::fast_path_error.
#pragma once

#include <string>
#include <vector>

namespace reflector::tools {

int run_attach(const std::vector<std::string>& args);
int run_detach(const std::vector<std::string>& args);
int run_status(const std::vector<std::string>& args);
int run_stats(const std::vector<std::string>& args);

}  // namespace reflector::tools
