#include "tests/reliability/load_generator.h"

#include <fcntl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <sstream>
#include <thread>

#include "tests/support/reflection_exchange.h"

namespace reflector::test {
namespace {

using clock = std::chrono::steady_clock;

constexpr int receive_batch = 64;
constexpr std::size_t receive_buffer_size = 2048;  // more than a slot: longer replies show
constexpr int client_receive_buffer_bytes = 8 << 20;

// Clients cycle through both families, documentation and loopback alike.
constexpr const char* client_addresses[] = {"192.0.2.1", "2001:db8::2", "127.0.0.1", "::1"};

void make_fast_socket(int fd) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  // Replies are read in rounds; a large buffer keeps them from being lost
  // on the client side while it is busy sending.
  setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &client_receive_buffer_bytes,
             sizeof client_receive_buffer_bytes);
}

double seconds_since(clock::time_point start) {
  return std::chrono::duration<double>(clock::now() - start).count();
}

}  // namespace

std::vector<datagram_kind> every_kind() {
  std::vector<datagram_kind> kinds;
  for (std::size_t k = 0; k < kind_count; ++k) kinds.push_back(static_cast<datagram_kind>(k));
  return kinds;
}

std::uint64_t phase_result::total_sent() const {
  std::uint64_t total = 0;
  for (auto n : sent) total += n;
  return total;
}

std::uint64_t phase_result::answerable_sent() const {
  std::uint64_t total = 0;
  for (std::size_t k = 0; k < kind_count; ++k) {
    if (is_answered(static_cast<datagram_kind>(k))) total += sent[k];
  }
  return total;
}

std::string phase_result::summary() const {
  std::ostringstream out;
  out << total_sent() << " sent in " << seconds << " s (" << static_cast<std::uint64_t>(total_sent() / seconds)
      << "/s); " << answerable_sent() << " answerable, " << answered << " answered ("
      << static_cast<std::uint64_t>(answered / seconds) << "/s), " << lost() << " lost; "
      << wrong_datagrams << " wrong, " << duplicate_replies << " duplicate, "
      << refused_target_arrivals << " at refused targets";
  return out.str();
}

load_generator::load_generator(int client_count) {
  for (int i = 0; i < client_count; ++i) {
    const std::string address = client_addresses[i % std::size(client_addresses)];
    udp_socket socket(address, 0);
    make_fast_socket(socket.fd());
    const std::uint16_t port = socket.local_port();
    clients_.push_back({std::move(socket), address, address_of(address), port});
  }
  auto add_listener = [this](const char* address, std::uint16_t port, listener_role role) {
    listeners_.emplace_back(address, port);
    make_fast_socket(listeners_.back().fd());
    listener_roles_.push_back(role);
    return listeners_.back().local_port();
  };
  targets_.accepted_v6_port = add_listener(accepted_v6_address, 0, listener_role::accepted_v6);
  targets_.accepted_v4_port = add_listener(accepted_v4_address, 0, listener_role::accepted_v4);
  targets_.refused_loopback_port = add_listener("127.0.0.1", 0, listener_role::refused);
  add_listener("::1", targets_.refused_loopback_port, listener_role::refused);
  add_listener(accepted_v4_address, refused_low_port, listener_role::refused);
  for (const client& c : clients_) poll_set_.push_back({c.socket.fd(), POLLIN, 0});
  for (const udp_socket& l : listeners_) poll_set_.push_back({l.fd(), POLLIN, 0});
}

phase_result load_generator::run(const phase_plan& plan) {
  result_ = {};
  phase_first_sequence_ = next_sequence_;
  const auto start = clock::now();
  const auto deadline = start + plan.duration;
  std::uint64_t cursor = 0;
  while (clock::now() < deadline && result_.total_sent() < plan.max_datagrams) {
    if (plan.rate_per_second > 0 && result_.total_sent() > plan.rate_per_second * seconds_since(start)) {
      receive_ready(0);
      std::this_thread::sleep_for(std::chrono::microseconds(100));
      continue;
    }
    const std::uint64_t answered_before = result_.answered;
    const std::uint64_t answerable_before = result_.answerable_sent();
    send_round(plan, cursor);
    if (plan.lockstep) {
      wait_for_answers(answered_before + result_.answerable_sent() - answerable_before,
                       std::chrono::milliseconds(1000));
    } else {
      receive_ready(0);
    }
  }
  result_.seconds = seconds_since(start);
  // Stragglers: whatever is still on its way gets a second to arrive.
  wait_for_answers(result_.answerable_sent(), std::chrono::milliseconds(1000));
  receive_ready(100);
  return result_;
}

void load_generator::send_round(const phase_plan& plan, std::uint64_t& cursor) {
  for (std::size_t c = 0; c < clients_.size(); ++c) send_burst(c, plan, cursor);
}

void load_generator::send_burst(std::size_t client_index, const phase_plan& plan, std::uint64_t& cursor) {
  const client& c = clients_[client_index];
  std::vector<std::vector<std::uint8_t>> datagrams;
  std::vector<datagram_kind> kinds;
  // In lockstep an extra QUERY closes the burst: its reply shows that the
  // service has taken everything the client sent before it.
  const int count = plan.burst_per_client + (plan.lockstep ? 1 : 0);
  for (int i = 0; i < count; ++i) {
    const datagram_kind kind =
        i < plan.burst_per_client ? plan.kinds[cursor++ % plan.kinds.size()] : datagram_kind::query;
    const datagram_identity id{next_sequence_++, kind, static_cast<std::uint8_t>(client_index)};
    answered_flags_.push_back(0);
    datagrams.push_back(build_datagram(id, targets_));
    kinds.push_back(kind);
  }
  const sockaddr_in6 destination = socket_address(c.service_address, service_port);
  std::vector<iovec> vectors(datagrams.size());
  std::vector<mmsghdr> headers(datagrams.size());
  for (std::size_t i = 0; i < datagrams.size(); ++i) {
    vectors[i] = {datagrams[i].data(), datagrams[i].size()};
    headers[i].msg_hdr.msg_name = const_cast<sockaddr_in6*>(&destination);
    headers[i].msg_hdr.msg_namelen = sizeof destination;
    headers[i].msg_hdr.msg_iov = &vectors[i];
    headers[i].msg_hdr.msg_iovlen = 1;
  }
  // A full send buffer takes only part of the burst; only what left counts.
  const int sent = sendmmsg(c.socket.fd(), headers.data(), static_cast<unsigned>(headers.size()), 0);
  for (int i = 0; i < sent; ++i) ++result_.sent[static_cast<std::size_t>(kinds[static_cast<std::size_t>(i)])];
}

void load_generator::wait_for_answers(std::uint64_t target_answered, std::chrono::milliseconds limit) {
  const auto deadline = clock::now() + limit;
  while (result_.answered < target_answered && clock::now() < deadline) receive_ready(10);
}

void load_generator::receive_ready(int timeout_ms) {
  if (poll(poll_set_.data(), poll_set_.size(), timeout_ms) <= 0) return;
  for (std::size_t i = 0; i < poll_set_.size(); ++i) {
    if (poll_set_[i].revents & POLLIN) receive_all(i);
  }
}

void load_generator::receive_all(std::size_t socket_index) {
  static thread_local std::vector<std::array<std::uint8_t, receive_buffer_size>> buffers(receive_batch);
  std::array<iovec, receive_batch> vectors;
  std::array<sockaddr_in6, receive_batch> peers;
  std::array<mmsghdr, receive_batch> headers;
  const int fd = poll_set_[socket_index].fd;
  while (true) {
    for (int i = 0; i < receive_batch; ++i) {
      vectors[i] = {buffers[i].data(), buffers[i].size()};
      headers[i] = {};
      headers[i].msg_hdr.msg_name = &peers[i];
      headers[i].msg_hdr.msg_namelen = sizeof peers[i];
      headers[i].msg_hdr.msg_iov = &vectors[i];
      headers[i].msg_hdr.msg_iovlen = 1;
    }
    const int n = recvmmsg(fd, headers.data(), receive_batch, MSG_DONTWAIT, nullptr);
    if (n <= 0) return;
    for (int i = 0; i < n; ++i) {
      const std::size_t length = headers[i].msg_len;
      if (socket_index < clients_.size()) {
        check_at_client(socket_index, buffers[i].data(), length, ntohs(peers[i].sin6_port));
      } else {
        check_at_listener(listener_roles_[socket_index - clients_.size()], buffers[i].data(), length);
      }
    }
  }
}

void load_generator::check_at_client(std::size_t client_index, const std::uint8_t* bytes,
                                     std::size_t length, std::uint16_t from_port) {
  const datagram_identity id = identity_of(bytes, length);
  const bool plausible = from_port == service_port && id.client == client_index &&
                         id.sequence < next_sequence_ &&
                         (id.kind == datagram_kind::query || id.kind == datagram_kind::oversize_query);
  if (!plausible) {
    ++result_.wrong_datagrams;
    problem("client got a datagram of " + std::to_string(length) + " bytes that answers no QUERY");
    return;
  }
  const client& c = clients_[client_index];
  note_reply(id, expected_reply(id, targets_, c.address, c.port), bytes, length);
}

void load_generator::check_at_listener(listener_role role, const std::uint8_t* bytes, std::size_t length) {
  if (role == listener_role::refused) {
    ++result_.refused_target_arrivals;
    problem("a refused FORWARD target got a datagram");
    return;
  }
  const datagram_identity id = identity_of(bytes, length);
  const datagram_kind wanted = role == listener_role::accepted_v6 ? datagram_kind::forward_accepted_v6
                                                                  : datagram_kind::forward_accepted_v4;
  if (id.kind != wanted || id.client >= clients_.size() || id.sequence >= next_sequence_) {
    ++result_.wrong_datagrams;
    problem("a FORWARD target got a datagram that answers no FORWARD to it");
    return;
  }
  const client& requester = clients_[id.client];
  note_reply(id, expected_reply(id, targets_, requester.address, requester.port), bytes, length);
}

void load_generator::note_reply(const datagram_identity& id, const std::vector<std::uint8_t>& expected,
                                const std::uint8_t* bytes, std::size_t length) {
  if (length != expected.size() || !std::equal(expected.begin(), expected.end(), bytes)) {
    ++result_.wrong_datagrams;
    problem(std::string("reply to a ") + kind_name(id.kind) + " of " + std::to_string(length) +
            " bytes differs from the expected " + std::to_string(expected.size()) + " bytes");
    return;
  }
  std::uint8_t& flag = answered_flags_.at(id.sequence - 1);
  if (flag != 0) {
    ++result_.duplicate_replies;
    problem("a request was answered twice");
    return;
  }
  flag = 1;
  if (id.sequence >= phase_first_sequence_) ++result_.answered;
}

void load_generator::problem(const std::string& what) {
  if (result_.first_problem.empty()) result_.first_problem = what;
}

}  // namespace reflector::test
