#include "tools/common/shown_argument.h"

#include <cstdio>

namespace reflector::tools {
namespace {

// Long enough for any host name or address a user would type.
constexpr std::size_t longest_shown = 80;
constexpr std::size_t shown_start = 60;

void append_escaped(std::string& out, unsigned char c) {
  switch (c) {
    case '\n': out += "\\n"; return;
    case '\r': out += "\\r"; return;
    case '\t': out += "\\t"; return;
    default: break;
  }
  if (c < 0x20 || c == 0x7f) {
    char escaped[5];
    std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
    out += escaped;
  } else {
    out += static_cast<char>(c);
  }
}

}  // namespace

std::string one_line(std::string_view message) {
  std::string out;
  out.reserve(message.size());
  for (const char c : message) append_escaped(out, static_cast<unsigned char>(c));
  return out;
}

std::string shown_argument(std::string_view text) {
  if (text.size() <= longest_shown) return one_line(text);
  return one_line(text.substr(0, shown_start)) + "... (" + std::to_string(text.size()) +
         " characters)";
}

std::string quoted_argument(std::string_view text) {
  std::string out(1, '\'');
  out += shown_argument(text);
  out += '\'';
  return out;
}

}  // namespace reflector::tools
