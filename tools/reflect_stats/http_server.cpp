#include "tools/reflect_stats/http_server.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <stdexcept>

#include "tools/reflect_stats/http_response.h"

namespace reflector::tools {
namespace {

using clock = std::chrono::steady_clock;

volatile sig_atomic_t stop_requested = 0;

void note_stop(int) { stop_requested = 1; }

struct connection {
  int fd = -1;
  clock::time_point deadline;
  std::string received;
  std::string response;  // empty while the request is still coming
  std::size_t sent = 0;
  bool done = false;     // to be closed
};

[[noreturn]] void fail(const std::string& what, int error) {
  throw std::runtime_error("stopped serving: " + what + ": " + std::strerror(error));
}

// Blocks the stop signals, so that they wake only ppoll, and returns the
// mask ppoll waits with.
sigset_t catch_stop_signals() {
  stop_requested = 0;
  struct sigaction action{};
  action.sa_handler = note_stop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigset_t stop_set;
  sigemptyset(&stop_set);
  sigaddset(&stop_set, SIGINT);
  sigaddset(&stop_set, SIGTERM);
  sigset_t waiting;
  pthread_sigmask(SIG_BLOCK, &stop_set, &waiting);
  sigdelset(&waiting, SIGINT);
  sigdelset(&waiting, SIGTERM);
  return waiting;
}

// Closes after the answer: what the client sent beyond its request is
// read first, so that the close does not reset the answer away.
void finish(connection& one) {
  shutdown(one.fd, SHUT_WR);
  char discard[4096];
  for (int reads = 0; reads < 16 && recv(one.fd, discard, sizeof discard, MSG_DONTWAIT) > 0; ++reads) {
  }
  one.done = true;
}

void answer(connection& one, std::string response) {
  one.response = std::move(response);
  one.deadline = clock::now() + response_time_limit;
}

void receive(connection& one) {
  char buffer[longest_request_head + 1];
  const std::size_t room = sizeof buffer - one.received.size();
  const ssize_t got = recv(one.fd, buffer, room, MSG_DONTWAIT);
  if (got == 0 || (got == -1 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
    one.done = true;
    return;
  }
  if (got > 0) one.received.append(buffer, static_cast<std::size_t>(got));
}

void send_more(connection& one) {
  const ssize_t sent = send(one.fd, one.response.data() + one.sent, one.response.size() - one.sent, MSG_NOSIGNAL | MSG_DONTWAIT);
  if (sent == -1) {
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) one.done = true;
    return;
  }
  one.sent += static_cast<std::size_t>(sent);
  if (one.sent == one.response.size()) finish(one);
}

// Makes room for one more connection by dropping the oldest unfinished
// request, or else the answer nearest its deadline: a scraper takes its
// answer at once, so an answer still waiting is a client that will not.
void make_room(std::vector<connection>& connections) {
  connection* oldest = nullptr;
  for (auto& one : connections) {
    if (one.done) continue;
    const bool reading = one.response.empty();
    const bool oldest_reading = oldest && oldest->response.empty();
    if (!oldest || (reading && !oldest_reading) || (reading == oldest_reading && one.deadline < oldest->deadline)) {
      oldest = &one;
    }
  }
  if (oldest) oldest->done = true;
}

void close_done(std::vector<connection>& connections) {
  const auto now = clock::now();
  for (auto& one : connections) {
    if (one.done || now >= one.deadline) {
      close(one.fd);
      one.fd = -1;
    }
  }
  std::erase_if(connections, [](const connection& one) { return one.fd == -1; });
}

// Takes the connections waiting to be accepted, a few at a turn, each
// making room for itself once most_connections are open. Returns the time
// to try again after a shortage of descriptors or memory, or nullopt.
std::optional<clock::time_point> accept_waiting(int listener, std::vector<connection>& connections) {
  for (int accepted = 0; accepted < 16; ++accepted) {
    std::size_t open = 0;
    for (const auto& one : connections) open += one.done ? 0 : 1;
    if (open >= most_connections) make_room(connections);
    const int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd != -1) {
      connections.push_back({fd, clock::now() + request_time_limit, {}, {}, 0, false});
      continue;
    }
    switch (errno) {
      case EAGAIN:
#if EAGAIN != EWOULDBLOCK
      case EWOULDBLOCK:
#endif
      case EINTR:
        return std::nullopt;
      case ECONNABORTED:
      case EPROTO:
        continue;  // that client gave up; the next may not have
      case EMFILE:
      case ENFILE:
      case ENOBUFS:
      case ENOMEM:
        make_room(connections);
        return clock::now() + std::chrono::milliseconds(100);
      default:
        fail("accept", errno);
    }
  }
  return std::nullopt;
}

// Answers the requests whose heads are in: refusals at once, the rest
// together through the handler.
void answer_requests(std::vector<connection>& connections, const request_handler& handler) {
  std::vector<http_exchange> exchanges;
  std::vector<connection*> asking;
  for (auto& one : connections) {
    if (one.done || !one.response.empty()) continue;
    const request_head head = read_request_head(one.received);
    if (head.state == request_head::verdict::refused) answer(one, http_refusal(head.refusal));
    if (head.state != request_head::verdict::complete) continue;
    exchanges.push_back({head, {}});
    asking.push_back(&one);
  }
  if (exchanges.empty()) return;
  handler(exchanges);
  for (std::size_t i = 0; i < asking.size(); ++i) answer(*asking[i], std::move(exchanges[i].response));
}

int milliseconds_until(clock::time_point when) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(when - clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left + 1, 0, 60000));
}

clock::time_point next_deadline(const std::vector<connection>& connections, std::optional<clock::time_point> resume) {
  clock::time_point next = clock::now() + std::chrono::seconds(60);
  for (const auto& one : connections) next = std::min(next, one.deadline);
  return resume ? std::min(next, *resume) : next;
}

// The listening socket's own error, once poll reports one.
[[noreturn]] void listener_failed(int listener) {
  int error = 0;
  socklen_t length = sizeof error;
  getsockopt(listener, SOL_SOCKET, SO_ERROR, &error, &length);
  fail("the listening socket failed", error != 0 ? error : EINVAL);
}

}  // namespace

void serve_http(int listener, const request_handler& handler) {
  const sigset_t waiting = catch_stop_signals();
  std::vector<connection> connections;
  std::optional<clock::time_point> resume_accepting;
  std::vector<pollfd> polled;
  while (!stop_requested) {
    if (resume_accepting && clock::now() >= *resume_accepting) resume_accepting.reset();
    polled.assign(1, {listener, static_cast<short>(resume_accepting ? 0 : POLLIN), 0});
    for (const auto& one : connections) polled.push_back({one.fd, static_cast<short>(one.response.empty() ? POLLIN : POLLOUT), 0});
    const int wait = milliseconds_until(next_deadline(connections, resume_accepting));
    const timespec timeout{wait / 1000, (wait % 1000) * 1000000L};
    if (ppoll(polled.data(), polled.size(), &timeout, &waiting) == -1) {
      if (errno == EINTR) continue;
      fail("poll", errno);
    }
    if (polled[0].revents & (POLLERR | POLLHUP | POLLNVAL)) listener_failed(listener);
    for (std::size_t i = 0; i < connections.size(); ++i) {
      if (polled[i + 1].revents == 0) continue;
      connection& one = connections[i];
      if (one.response.empty()) receive(one);
      else send_more(one);
    }
    answer_requests(connections, handler);
    close_done(connections);
    if (polled[0].revents & POLLIN) resume_accepting = accept_waiting(listener, connections);
  }
  for (const auto& one : connections) close(one.fd);
}

}  // namespace reflector::tools
