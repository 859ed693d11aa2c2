// The failures a tool reports in one line: bad input (exit status 1) and a
// server that did not answer (exit status 2).
#pragma once

#include <stdexcept>
#include <string>

namespace reflector::tools {

class usage_error : public std::runtime_error {
 public:
  explicit usage_error(const std::string& message) : std::runtime_error(message) {}
};

// The network part failed: no answer came, or sending was refused.
class no_answer : public std::runtime_error {
 public:
  explicit no_answer(const std::string& message) : std::runtime_error(message) {}
};

// Exit statuses shared by the tools.
inline constexpr int exit_ok = 0;
inline constexpr int exit_bad_input = 1;
inline constexpr int exit_no_answer = 2;

}  // namespace reflector::tools
