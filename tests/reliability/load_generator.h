// A bounded load generator for a service running in the test's network
// namespace: many client sockets of both families send a planned mix of
// datagrams, and every datagram that comes back, to a client or to a
// FORWARD target's listener, is checked against the request it answers.
#pragma once

#include <poll.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/reliability/traffic_mix.h"
#include "tests/support/udp_socket.h"

namespace reflector::test {

struct phase_plan {
  std::vector<datagram_kind> kinds = {};  // cycled through, datagram by datagram
  std::chrono::milliseconds duration{1000};
  std::uint64_t max_datagrams = 1'000'000;
  int burst_per_client = 16;  // datagrams each client sends per round
  // Lockstep: each client's burst ends with an extra QUERY, and the next round
  // starts only when every answered request of the round has its reply (or
  // a second has passed). The service's queues then never hold more than one
  // round, which is what "below saturation" means here.
  bool lockstep = false;
  double rate_per_second = 0;  // 0: as fast as the generator can send
};

// Every kind of datagram, for a plan that mixes them all.
std::vector<datagram_kind> every_kind();

struct phase_result {
  std::array<std::uint64_t, kind_count> sent{};
  std::uint64_t answered = 0;                // answered requests with their exact reply
  std::uint64_t wrong_datagrams = 0;         // anything else that reached a client or target
  std::uint64_t duplicate_replies = 0;       // a second reply to one request
  std::uint64_t refused_target_arrivals = 0;  // datagrams at a refused FORWARD target
  double seconds = 0;  // spent sending; the rates are per second of it
  std::string first_problem;

  std::uint64_t total_sent() const;
  std::uint64_t answerable_sent() const;
  std::uint64_t lost() const { return answerable_sent() - answered; }
  std::string summary() const;
};

class load_generator {
 public:
  // Needs the namespace to hold accepted_v4_address, accepted_v6_address
  // and 192.0.2.1 on lo; clients use those and the loopback addresses.
  explicit load_generator(int client_count);

  phase_result run(const phase_plan& plan);

 private:
  struct client {
    udp_socket socket;
    std::string service_address;
    address16 address;
    std::uint16_t port;
  };
  enum class listener_role { accepted_v6, accepted_v4, refused };

  void send_round(const phase_plan& plan, std::uint64_t& cursor);
  void send_burst(std::size_t client_index, const phase_plan& plan, std::uint64_t& cursor);
  void receive_ready(int timeout_ms);
  void receive_all(std::size_t socket_index);
  void check_at_client(std::size_t client_index, const std::uint8_t* bytes, std::size_t length,
                       std::uint16_t from_port);
  void check_at_listener(listener_role role, const std::uint8_t* bytes, std::size_t length);
  void note_reply(const datagram_identity& id, const std::vector<std::uint8_t>& expected,
                  const std::uint8_t* bytes, std::size_t length);
  void problem(const std::string& what);
  void wait_for_answers(std::uint64_t target_answered, std::chrono::milliseconds limit);

  std::vector<client> clients_;
  std::vector<udp_socket> listeners_;
  std::vector<listener_role> listener_roles_;
  std::vector<pollfd> poll_set_;  // clients first, then listeners
  forward_targets targets_;
  std::uint32_t next_sequence_ = 1;
  std::uint32_t phase_first_sequence_ = 1;  // replies to earlier phases count there, not here
  std::vector<std::uint8_t> answered_flags_;  // by sequence: 0 or 1
  phase_result result_;
};

}  // namespace reflector::test
