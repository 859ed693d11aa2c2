// User text as messages show it: on one line, and short enough to read. A
// pasted 5,000-character argument or one holding a newline must neither
// flood the terminal nor split a one-line error in two.
#pragma once

#include <string>
#include <string_view>

namespace reflector::tools {

// text with control characters escaped (\n, \t, \xHH) and, when longer than
// a message can carry, cut to its start and marked with its full length:
// "aaaa... (5000 characters)".
std::string shown_argument(std::string_view text);

// shown_argument in single quotes: 'text'.
std::string quoted_argument(std::string_view text);

// message with control characters escaped, so that it prints as one line.
std::string one_line(std::string_view message);

}  // namespace reflector::tools
