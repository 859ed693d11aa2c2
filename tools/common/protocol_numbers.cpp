#include "tools/common/protocol_numbers.h"

#include <array>
#include <utility>

#include "protocol/message_layout.h"

namespace reflector::tools {

std::string with_protocol_numbers(std::string_view text) {
  const std::array<std::pair<std::string_view, std::string>, 4> numbers{{
      {"{service_port}", std::to_string(service_port)},
      {"{header_size}", std::to_string(header_size)},
      {"{longest_request}", std::to_string(longest_request)},
      {"{lowest_forward_port}", std::to_string(lowest_forward_port)},
  }};
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    bool replaced = false;
    for (const auto& [placeholder, number] : numbers) {
      if (text.starts_with(placeholder)) {
        out += number;
        text.remove_prefix(placeholder.size());
        replaced = true;
        break;
      }
    }
    if (!replaced) {
      out += text.front();
      text.remove_prefix(1);
    }
  }
  return out;
}

}  // namespace reflector::tools
