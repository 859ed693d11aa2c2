// A small JSON reader for tests that check the tools' --json output by
// member rather than by text: objects, arrays, strings, numbers, true,
// false and null. Throws std::runtime_error on text that is not JSON.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace reflector::test {

class json_value {
 public:
  enum class kind { null, boolean, number, string, array, object };

  static json_value parse(std::string_view text);

  kind type() const { return kind_; }
  bool is_null() const { return kind_ == kind::null; }
  bool boolean() const;
  double number() const;
  long long integer() const { return static_cast<long long>(number()); }
  const std::string& string() const;
  const std::vector<json_value>& array() const;
  // The member, which must exist; has() asks first.
  const json_value& operator[](const std::string& key) const;
  bool has(const std::string& key) const;

 private:
  friend class json_reader;
  kind kind_ = kind::null;
  bool boolean_ = false;
  double number_ = 0;
  std::string string_;
  std::vector<json_value> array_;
  std::map<std::string, json_value> object_;
};

}  // namespace reflector::test
