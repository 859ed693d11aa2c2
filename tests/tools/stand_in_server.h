// A stand-in for the service inside the test process: a thread that answers
// each datagram arriving at address:service_port as the test says, so that
// the tools can meet servers that misbehave in ways reflectord never does
// (answering twice, rewriting addresses, flooding). It runs in the network
// namespace of the thread that makes it.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/udp_socket.h"

namespace reflector::test {

using datagram_bytes = std::vector<std::uint8_t>;

// Sends one datagram back to where the request came from.
using reply_sender = std::function<void(const datagram_bytes&)>;

// What the stand-in does with one request from sender: sends back whatever
// it likes, whenever it likes, through reply. Called on the stand-in's own
// thread, one request at a time.
using responder = std::function<void(const datagram_bytes& request, const sockaddr_in6& sender,
                                     const reply_sender& reply)>;

// The reply reflectord itself would send, made by the service's own
// handler; empty when the service would send none.
datagram_bytes service_reply(const datagram_bytes& request, const sockaddr_in6& sender);

class stand_in_server {
 public:
  // Binds address (IPv4 text as its mapped form, on a dual-stack socket) at
  // the service port; throws std::runtime_error when it cannot.
  stand_in_server(const std::string& address, responder respond);
  ~stand_in_server();  // stops and joins the thread
  stand_in_server(const stand_in_server&) = delete;
  stand_in_server& operator=(const stand_in_server&) = delete;

 private:
  void serve();

  udp_socket socket_;
  responder respond_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace reflector::test
