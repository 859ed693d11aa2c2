// One HTTP/1.1 response, whole, for a connection that closes after it: a
// scraper comes back every few seconds at most, and one request per
// connection keeps every connection short-lived.
#pragma once

#include <string>
#include <string_view>

namespace reflector::tools {

// The status line, Content-Type, Content-Length, "Connection: close" and
// the body; for HEAD (head true) the same without the body. A 405 also
// says which methods are allowed.
std::string http_response(int status, std::string_view content_type, std::string_view body, bool head);

// A refusal: the status and its reason phrase as a plain-text body.
std::string http_refusal(int status);

}  // namespace reflector::tools
