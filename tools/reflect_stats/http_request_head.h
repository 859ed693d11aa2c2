// The head of one HTTP/1.x request as the exporter takes it: a request
// line and header fields, within fixed limits, and no body. The exporter
// answers GET and HEAD alone, and refuses anything larger or stranger as
// soon as the bytes received show it, so that no request costs it more
// than a few KiB.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace reflector::tools {

inline constexpr std::size_t longest_request_line = 2048;
inline constexpr std::size_t longest_request_head = 8192;  // request line and header fields
inline constexpr std::size_t longest_request_body = 4096;  // declared, and never read

struct request_head {
  enum class verdict { incomplete, complete, refused };
  verdict state = verdict::incomplete;
  int refusal = 0;     // with refused: the HTTP status that says why
  bool head = false;   // HEAD: answered without a body
  std::string path;    // with complete: the target without its query
};

// What the bytes received so far (from the first) make of the request.
// Only incomplete asks for more bytes; refused needs no more to be sure.
request_head read_request_head(std::string_view received);

}  // namespace reflector::tools
