#include "tools/reflect_stats/http_response.h"

namespace reflector::tools {
namespace {

std::string_view reason_phrase(int status) {
  switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 413: return "Content Too Large";
    case 414: return "URI Too Long";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    default: return "Error";
  }
}

}  // namespace

std::string http_response(int status, std::string_view content_type, std::string_view body, bool head) {
  std::string text = "HTTP/1.1 " + std::to_string(status) + " " + std::string(reason_phrase(status)) + "\r\n";
  if (status == 405) text += "Allow: GET, HEAD\r\n";
  text += "Content-Type: " + std::string(content_type) + "\r\n";
  text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  text += "Connection: close\r\n\r\n";
  if (!head) text += body;
  return text;
}

std::string http_refusal(int status) {
  return http_response(status, "text/plain; charset=utf-8", std::string(reason_phrase(status)) + "\n", false);
}

}  // namespace reflector::tools
