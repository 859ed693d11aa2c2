#include "tools/common/json_object.h"

#include <cmath>
#include <cstdio>

namespace reflector::tools {

std::string json_quoted(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

json_object& json_object::add_member(std::string_view key, std::string_view json) {
  if (!members_.empty()) members_ += ",";
  members_ += json_quoted(key);
  members_ += ":";
  members_ += json;
  return *this;
}

json_object& json_object::add_string(std::string_view key, std::string_view value) {
  return add_member(key, json_quoted(value));
}

json_object& json_object::add_number(std::string_view key, double value) {
  if (!std::isfinite(value)) return add_null(key);  // JSON has no NaN or infinity
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", value);
  return add_member(key, text);
}

json_object& json_object::add_integer(std::string_view key, std::uint64_t value) {
  return add_member(key, std::to_string(value));
}

json_object& json_object::add_bool(std::string_view key, bool value) {
  return add_member(key, value ? "true" : "false");
}

json_object& json_object::add_null(std::string_view key) { return add_member(key, "null"); }

json_object& json_object::add_raw(std::string_view key, std::string_view json) {
  return add_member(key, json);
}

}  // namespace reflector::tools
