#include "tests/support/json_value.h"

#include <cstdlib>
#include <stdexcept>

namespace reflector::test {

class json_reader {
 public:
  explicit json_reader(std::string_view text) : text_(text) {}

  json_value document() {
    json_value value = next();
    skip_space();
    if (at_ < text_.size()) fail("text after the value");
    return value;
  }

 private:
  [[noreturn]] void fail(const std::string& what) const {
    throw std::runtime_error("not JSON (" + what + " at offset " + std::to_string(at_) + ")");
  }

  void skip_space() {
    while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\n' || text_[at_] == '\t' || text_[at_] == '\r'))
      ++at_;
  }

  char peek() {
    skip_space();
    if (at_ >= text_.size()) fail("unexpected end");
    return text_[at_];
  }

  void expect(char c) {
    if (peek() != c) fail(std::string("expected '") + c + "'");
    ++at_;
  }

  bool take_word(std::string_view word) {
    if (text_.substr(at_, word.size()) != word) return false;
    at_ += word.size();
    return true;
  }

  json_value next() {
    json_value value;
    const char c = peek();
    if (c == '{') {
      value.kind_ = json_value::kind::object;
      read_object(value);
    } else if (c == '[') {
      value.kind_ = json_value::kind::array;
      read_array(value);
    } else if (c == '"') {
      value.kind_ = json_value::kind::string;
      value.string_ = read_string();
    } else if (take_word("null")) {
    } else if (take_word("true") || take_word("false")) {
      value.kind_ = json_value::kind::boolean;
      value.boolean_ = text_[at_ - 1] == 'e' && text_[at_ - 2] == 'u';
    } else {
      value.kind_ = json_value::kind::number;
      value.number_ = read_number();
    }
    return value;
  }

  void read_object(json_value& value) {
    expect('{');
    if (peek() == '}') {
      ++at_;
      return;
    }
    for (;;) {
      if (peek() != '"') fail("expected a member name");
      std::string key = read_string();
      expect(':');
      value.object_[key] = next();
      if (peek() == '}') break;
      expect(',');
    }
    ++at_;
  }

  void read_array(json_value& value) {
    expect('[');
    if (peek() == ']') {
      ++at_;
      return;
    }
    for (;;) {
      value.array_.push_back(next());
      if (peek() == ']') break;
      expect(',');
    }
    ++at_;
  }

  std::string read_string() {
    ++at_;  // the opening quote
    std::string out;
    while (at_ < text_.size() && text_[at_] != '"') {
      char c = text_[at_++];
      if (c == '\\') {
        if (at_ >= text_.size()) fail("cut escape");
        c = text_[at_++];
        if (c == 'u') {
          out += read_code_point();
          continue;
        }
        if (c == 'n') c = '\n';
        if (c == 't') c = '\t';
        if (c == 'r') c = '\r';
        if (c == 'b') c = '\b';
        if (c == 'f') c = '\f';
      }
      out += c;
    }
    if (at_ >= text_.size()) fail("unterminated string");
    ++at_;
    return out;
  }

  // \uXXXX as UTF-8 (code points of the basic plane; the tools write no
  // surrogate pairs).
  std::string read_code_point() {
    if (at_ + 4 > text_.size()) fail("cut \\u escape");
    const auto code = static_cast<unsigned>(std::strtoul(std::string(text_.substr(at_, 4)).c_str(), nullptr, 16));
    at_ += 4;
    std::string utf8;
    if (code < 0x80) {
      utf8 += static_cast<char>(code);
    } else if (code < 0x800) {
      utf8 += static_cast<char>(0xc0 | (code >> 6));
      utf8 += static_cast<char>(0x80 | (code & 0x3f));
    } else {
      utf8 += static_cast<char>(0xe0 | (code >> 12));
      utf8 += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
      utf8 += static_cast<char>(0x80 | (code & 0x3f));
    }
    return utf8;
  }

  double read_number() {
    const std::string rest(text_.substr(at_, 64));
    char* end = nullptr;
    const double number = std::strtod(rest.c_str(), &end);
    if (end == rest.c_str()) fail("expected a value");
    at_ += static_cast<std::size_t>(end - rest.c_str());
    return number;
  }

  std::string_view text_;
  std::size_t at_ = 0;
};

json_value json_value::parse(std::string_view text) { return json_reader(text).document(); }

namespace {
void require(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("JSON value is not ") + what);
}
}  // namespace

bool json_value::boolean() const {
  require(kind_ == kind::boolean, "a boolean");
  return boolean_;
}
double json_value::number() const {
  require(kind_ == kind::number, "a number");
  return number_;
}
const std::string& json_value::string() const {
  require(kind_ == kind::string, "a string");
  return string_;
}
const std::vector<json_value>& json_value::array() const {
  require(kind_ == kind::array, "an array");
  return array_;
}
const json_value& json_value::operator[](const std::string& key) const {
  require(kind_ == kind::object, "an object");
  const auto found = object_.find(key);
  if (found == object_.end()) throw std::runtime_error("JSON object has no member \"" + key + "\"");
  return found->second;
}
bool json_value::has(const std::string& key) const { return kind_ == kind::object && object_.contains(key); }

}  // namespace reflector::test
