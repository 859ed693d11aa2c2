#include "tools/reflect_stats/http_request_head.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace reflector::tools {
namespace {

request_head refused(int status) {
  request_head head;
  head.state = request_head::verdict::refused;
  head.refusal = status;
  return head;
}

std::string_view without_carriage_return(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

bool is_token(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) {
    return std::isalnum(c) || std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
  });
}

bool same_name(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
           return std::tolower(x) == std::tolower(y);
         });
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// "METHOD TARGET HTTP/1.x": the method and target when they are sound.
request_head read_request_line(std::string_view line) {
  const auto first = line.find(' ');
  const auto second = first == std::string_view::npos ? first : line.find(' ', first + 1);
  if (second == std::string_view::npos || line.find(' ', second + 1) != std::string_view::npos) return refused(400);
  const std::string_view method = line.substr(0, first);
  const std::string_view target = line.substr(first + 1, second - first - 1);
  const std::string_view version = line.substr(second + 1);
  if (!is_token(method) || target.empty() || target.front() != '/') return refused(400);
  if (version != "HTTP/1.1" && version != "HTTP/1.0") return refused(400);
  if (method != "GET" && method != "HEAD") return refused(405);
  request_head head;
  head.head = method == "HEAD";
  head.path = std::string(target.substr(0, target.find('?')));
  return head;
}

// 0 when the field is sound and asks for no body the exporter would take;
// otherwise the refusal.
int field_refusal(std::string_view line) {
  const auto colon = line.find(':');
  if (colon == std::string_view::npos || !is_token(line.substr(0, colon))) return 400;
  const std::string_view name = line.substr(0, colon);
  const std::string_view value = trimmed(line.substr(colon + 1));
  if (same_name(name, "Transfer-Encoding")) return 413;  // a body of no stated length
  if (!same_name(name, "Content-Length")) return 0;
  std::size_t length = 0;
  const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), length);
  if (error == std::errc::result_out_of_range) return 413;
  if (error != std::errc() || end != value.data() + value.size()) return 400;
  return length > longest_request_body ? 413 : 0;
}

}  // namespace

request_head read_request_head(std::string_view received) {
  const auto line_end = received.find('\n');
  if (line_end == std::string_view::npos) {
    return received.size() > longest_request_line ? refused(414) : request_head{};
  }
  if (line_end > longest_request_line) return refused(414);
  request_head head = read_request_line(without_carriage_return(received.substr(0, line_end)));
  if (head.state == request_head::verdict::refused) return head;

  for (std::size_t at = line_end + 1;;) {
    const auto end = received.find('\n', at);
    if (end == std::string_view::npos) {
      return received.size() > longest_request_head ? refused(431) : request_head{};
    }
    if (end >= longest_request_head) return refused(431);
    const std::string_view line = without_carriage_return(received.substr(at, end - at));
    if (line.empty()) break;
    if (const int refusal = field_refusal(line)) return refused(refusal);
    at = end + 1;
  }
  head.state = request_head::verdict::complete;
  return head;
}

}  // namespace reflector::tools
