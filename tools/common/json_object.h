// Writes one flat JSON object, members in the order they are added.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace reflector::tools {

std::string json_quoted(std::string_view text);

class json_object {
 public:
  json_object& add_string(std::string_view key, std::string_view value);
  json_object& add_number(std::string_view key, double value);
  json_object& add_integer(std::string_view key, std::uint64_t value);
  json_object& add_bool(std::string_view key, bool value);
  json_object& add_null(std::string_view key);
  json_object& add_raw(std::string_view key, std::string_view json);  // nested value
  std::string text() const { return "{" + members_ + "}"; }

 private:
  json_object& add_member(std::string_view key, std::string_view json);
  std::string members_;
};

}  // namespace reflector::tools
