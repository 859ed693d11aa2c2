// The exporter's HTTP server: one thread, non-blocking sockets, one request
// per connection. No client can hold it up or grow it: each connection has
// a few KiB for its request and a deadline for the whole of it (not for
// each read), the connections are bounded in number (the oldest unfinished
// request, or else the oldest answer not yet taken, gives way to a new
// connection), and every request that completes in one turn is answered
// together, so that a crowd costs one reading.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "tools/reflect_stats/http_request_head.h"

namespace reflector::tools {

inline constexpr std::chrono::seconds request_time_limit{3};   // from accept to the request's end
inline constexpr std::chrono::seconds response_time_limit{3};  // for the client to take the answer
inline constexpr std::size_t most_connections = 64;

struct http_exchange {
  request_head request;  // complete: a GET or HEAD
  std::string response;  // the whole response, from http_response()
};

// Fills in each exchange's response.
using request_handler = std::function<void(std::vector<http_exchange>& exchanges)>;

// Serves on listener (from listen_tcp) until SIGINT or SIGTERM, which it
// blocks from the call on and waits for itself. Returns after such a
// signal; throws std::runtime_error when serving stops for any other
// reason (the listening socket fails, say).
void serve_http(int listener, const request_handler& handler);

}  // namespace reflector::tools
