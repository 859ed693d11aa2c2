#include "tools/reflect_bench/load_generator.h"

#include <poll.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <system_error>
#include <vector>

#include "platform/receive_drop_count.h"
#include "platform/socket_buffers.h"
#include "protocol/request.h"
#include "tools/common/datagram_socket.h"
#include "tools/common/random_bytes.h"
#include "tools/common/tool_errors.h"
#include "tools/reflect_bench/answered_window.h"
#include "tools/reflect_bench/datagram_batch.h"
#include "tools/reflect_bench/reply_check.h"

namespace reflector::tools {
namespace {

constexpr std::uint64_t second_ns = 1'000'000'000;
// A socket whose replies stop for this long writes off what it has in flight,
// so that lost datagrams cannot close its window for good.
constexpr std::uint64_t stall_ns = 200'000'000;
// The open loop never catches up on more than this much of its schedule, or
// on more than this many requests if that is more: below 20 a second, 50 ms
// of schedule holds less than one request, and each would be skipped as it
// came due; two leave room for a wake that comes a little late.
constexpr double most_backlog_seconds = 0.05;
constexpr double most_backlog_requests = 2;
constexpr int socket_buffer_bytes = 4 << 20;
// After a stop signal the drain is brief: replies already on their way are
// still counted, but the user asked for the end.
constexpr std::uint64_t stopped_drain_ns = 100'000'000;

// The wall clock, because the kernel's receive timestamps are on it.
std::uint64_t now_ns() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * second_ns + static_cast<std::uint64_t>(now.tv_nsec);
}

// As large as the system allows up to socket_buffer_bytes; a socket left at
// its default still works, it only drops more of a burst.
void enlarge_buffers(int fd) {
  set_socket_buffer(fd, socket_buffer::receive, socket_buffer_bytes);
  set_socket_buffer(fd, socket_buffer::send, socket_buffer_bytes);
}

struct sender {
  datagram_socket socket;
  sender_view view;
  answered_window answered;
  std::uint32_t acked = 0;  // every sequence below is answered or written off
  std::uint64_t last_progress_ns = 0;
  std::uint32_t dropped = 0;  // by the kernel at this socket, as last reported

  std::uint32_t in_flight() const { return view.next_sequence - acked; }
};

class load_generator {
 public:
  load_generator(const load_plan& plan, const stop_signal& stop);
  load_result run(const std::function<void(const load_progress&)>& progress);

 private:
  void send_until_end(const std::function<void(const load_progress&)>& progress);
  void drain();
  bool send_closed_loop();
  bool send_open_loop(std::uint64_t now);
  // Stamps with the clock read just before the send, so that a request
  // does not carry the time of an earlier batch in the same tick.
  int send_batch(std::size_t index, unsigned count);
  bool receive_all();
  void receive_on(int fd, std::optional<std::size_t> own_index, std::uint32_t& dropped);
  void account(std::span<const std::uint8_t> datagram, std::optional<std::size_t> own_index,
               std::uint64_t now);
  void count_mismatch(reply_verdict verdict);
  void count_answer(sender& s, const request_stamp& stamp, std::uint64_t now);
  void count_drops_at_generator();
  void write_off_stalled(std::uint64_t now);
  void wait(std::uint64_t until_ns);
  std::uint64_t count_left() const;
  std::uint64_t next_open_loop_send_ns() const;
  load_progress snapshot(std::uint64_t now);

  const load_plan& plan_;
  const stop_signal& stop_;
  std::uint16_t type_;
  std::uint16_t run_tag_ = 0;
  wire_endpoint target_;
  std::vector<sender> senders_;
  std::vector<sender_view> views_;  // mirrors senders_[i].view for judge_reply
  std::optional<datagram_socket> target_socket_;
  std::uint32_t target_dropped_ = 0;
  bool drops_counted_ = true;  // every receiving socket reports its drops
  std::vector<pollfd> poll_set_;
  datagram_batch outgoing_;
  datagram_batch incoming_;
  reply_expectation expected_;
  load_result result_;
  std::uint64_t start_ns_ = 0;
  double schedule_base_ = 0;  // open loop: requests skipped when behind
  std::size_t next_sender_ = 0;
  std::uint64_t last_progress_answered_ = 0;
};

datagram_socket open_sender(const socket_endpoint& server) {
  datagram_socket socket(server.family());
  socket.connect(server);
  enlarge_buffers(socket.fd());
  enable_receive_timestamps(socket.fd());
  return socket;
}

datagram_socket open_target(const socket_endpoint& target) {
  datagram_socket socket(target.family());
  try {
    socket.bind(target);
  } catch (const std::system_error& error) {
    throw usage_error("cannot receive at forward target " + target.text() + ": " +
                      error.code().message() + " (it must be an address of this host)");
  }
  enlarge_buffers(socket.fd());
  enable_receive_timestamps(socket.fd());
  return socket;
}

load_generator::load_generator(const load_plan& plan, const stop_signal& stop)
    : plan_(plan),
      stop_(stop),
      type_(plan.forward_target ? FORWARD : QUERY),
      outgoing_(plan.batch, plan.request_size),
      // One byte more than a reply may be, so a longer one shows as such.
      incoming_(plan.batch, plan.request_size + 1) {
  fill_random(std::span(reinterpret_cast<std::uint8_t*>(&run_tag_), sizeof run_tag_));
  if (plan.forward_target) {
    target_ = plan.forward_target->wire();
    target_socket_.emplace(open_target(*plan.forward_target));
    poll_set_.push_back({target_socket_->fd(), POLLIN, 0});
    drops_counted_ = enable_receive_drop_count(target_socket_->fd()) == 0;
  }
  const answered_window window(answered_window_span(plan.sockets));
  for (unsigned i = 0; i < plan.sockets; ++i) {
    sender s{open_sender(plan.server), {}, window, 0, 0, 0};
    s.view.own = s.socket.local().wire();
    if (!plan.forward_target) {
      poll_set_.push_back({s.socket.fd(), POLLIN, 0});
      drops_counted_ = drops_counted_ && enable_receive_drop_count(s.socket.fd()) == 0;
    }
    senders_.push_back(std::move(s));
    views_.push_back(senders_.back().view);
  }
  expected_ = {reply_type_for(type_), plan.request_size, run_tag_, senders_.size()};
}

std::uint64_t load_generator::count_left() const {
  if (!plan_.count) return UINT64_MAX;
  return *plan_.count > result_.sent ? *plan_.count - result_.sent : 0;
}

int load_generator::send_batch(std::size_t index, unsigned count) {
  sender& s = senders_[index];
  const std::uint64_t now = now_ns();
  for (unsigned k = 0; k < count; ++k) {
    const request_stamp stamp{run_tag_, static_cast<std::uint16_t>(index),
                              s.view.next_sequence + k, now};
    write_request(outgoing_.buffer(k), type_, key_of(stamp), target_);
  }
  const int sent = outgoing_.send(s.socket.fd(), count, plan_.request_size);
  if (sent < 0) {
    ++result_.send_refusals;
    return 0;
  }
  if (s.in_flight() == 0) s.last_progress_ns = now;
  s.answered.open(s.view.next_sequence, static_cast<std::uint32_t>(sent));
  s.view.next_sequence += static_cast<std::uint32_t>(sent);
  s.view.sent += static_cast<std::uint64_t>(sent);
  views_[index] = s.view;
  result_.sent += static_cast<std::uint64_t>(sent);
  return sent;
}

bool load_generator::send_closed_loop() {
  bool sent_any = false;
  for (std::size_t i = 0; i < senders_.size(); ++i) {
    while (senders_[i].in_flight() < plan_.window && count_left() > 0) {
      const auto room = std::min<std::uint64_t>(
          {plan_.window - senders_[i].in_flight(), plan_.batch, count_left()});
      const int sent = send_batch(i, static_cast<unsigned>(room));
      if (sent > 0) sent_any = true;
      if (static_cast<std::uint64_t>(sent) < room) break;
    }
  }
  return sent_any;
}

bool load_generator::send_open_loop(std::uint64_t now) {
  const double elapsed = static_cast<double>(now - start_ns_) / second_ns;
  double due = *plan_.rate * elapsed - schedule_base_ - static_cast<double>(result_.sent);
  const double most_backlog = std::max(*plan_.rate * most_backlog_seconds, most_backlog_requests);
  if (due > most_backlog) {
    // Behind schedule: drop the backlog rather than send it in one burst.
    const double skipped = due - most_backlog;
    schedule_base_ += skipped;
    due -= skipped;
    result_.fell_behind = true;
  }
  auto backlog = static_cast<std::uint64_t>(std::max(due, 0.0));
  backlog = std::min(backlog, count_left());
  bool sent_any = false;
  std::size_t refusing = 0;  // senders in a row that took nothing
  // Spread each tick over the sockets, so that every worker of the service
  // gets its share of the tick rather than all of it in turn.
  const std::uint64_t share = std::clamp<std::uint64_t>(
      (backlog + senders_.size() - 1) / senders_.size(), 1, plan_.batch);
  while (backlog > 0 && refusing < senders_.size()) {
    const auto count = static_cast<unsigned>(std::min(backlog, share));
    const int sent = send_batch(next_sender_, count);
    next_sender_ = (next_sender_ + 1) % senders_.size();
    backlog -= static_cast<std::uint64_t>(sent);
    refusing = sent > 0 ? 0 : refusing + 1;
    sent_any = sent_any || sent > 0;
  }
  return sent_any;
}

void load_generator::account(std::span<const std::uint8_t> datagram,
                             std::optional<std::size_t> own_index, std::uint64_t now) {
  const reply_judgement judged = judge_reply(datagram, expected_, views_);
  const bool misplaced = own_index && judged.stamp.socket_index != *own_index;
  if (misplaced || judged.verdict != reply_verdict::good) {
    count_mismatch(misplaced ? reply_verdict::foreign : judged.verdict);
    return;
  }
  sender& s = senders_[judged.stamp.socket_index];
  switch (s.answered.record(judged.stamp.sequence, s.view.next_sequence)) {
    case reply_order::first: count_answer(s, judged.stamp, now); return;
    case reply_order::duplicate: ++result_.duplicated; return;
    case reply_order::too_old: ++result_.late; return;
  }
}

void load_generator::count_mismatch(reply_verdict verdict) {
  switch (verdict) {
    case reply_verdict::good: return;
    case reply_verdict::wrong_type: ++result_.mismatched.wrong_type; return;
    case reply_verdict::wrong_length: ++result_.mismatched.wrong_length; return;
    case reply_verdict::wrong_address: ++result_.mismatched.wrong_address; return;
    case reply_verdict::foreign: ++result_.mismatched.foreign; return;
  }
}

void load_generator::count_answer(sender& s, const request_stamp& stamp, std::uint64_t now) {
  ++result_.answered;
  result_.latency.record(now > stamp.sent_ns ? now - stamp.sent_ns : 0);
  // A socket's replies come back in order, so a jump means the ones skipped
  // were lost; a late one that comes after all is still counted above.
  const std::uint32_t ahead = stamp.sequence - s.acked;
  if (ahead < s.in_flight()) s.acked = stamp.sequence + 1;
  s.last_progress_ns = now;
}

void load_generator::receive_on(int fd, std::optional<std::size_t> own_index,
                                std::uint32_t& dropped) {
  // Bounded, so that one busy socket cannot starve the others or the sends.
  for (int round = 0; round < 16; ++round) {
    const int got = incoming_.receive(fd);
    if (got == 0) return;
    const std::uint64_t now = now_ns();
    for (int k = 0; k < got; ++k) {
      const auto index = static_cast<unsigned>(k);
      account({incoming_.buffer(index), incoming_.length(index)}, own_index,
              incoming_.received_ns(index, now));
    }
    // The count only grows, so the last datagram's is the latest.
    if (const auto count = incoming_.drop_count(static_cast<unsigned>(got - 1))) dropped = *count;
    if (static_cast<unsigned>(got) < incoming_.capacity()) return;
  }
}

bool load_generator::receive_all() {
  const std::uint64_t before = result_.received();
  if (target_socket_) {
    receive_on(target_socket_->fd(), std::nullopt, target_dropped_);
  } else {
    for (std::size_t i = 0; i < senders_.size(); ++i) {
      receive_on(senders_[i].socket.fd(), i, senders_[i].dropped);
    }
  }
  return result_.received() != before;
}

// The count a socket's datagrams carried, or the one it holds now when that
// is higher: drops after its last received datagram are seen only so.
std::uint32_t final_drop_count(int fd, std::uint32_t last_reported) {
  return std::max(last_reported, socket_drop_count(fd).value_or(0));
}

void load_generator::count_drops_at_generator() {
  if (!drops_counted_) return;
  if (target_socket_) {
    result_.dropped_at_generator = final_drop_count(target_socket_->fd(), target_dropped_);
    return;
  }
  std::uint64_t dropped = 0;
  for (const auto& s : senders_) dropped += final_drop_count(s.socket.fd(), s.dropped);
  result_.dropped_at_generator = dropped;
}

void load_generator::write_off_stalled(std::uint64_t now) {
  for (auto& s : senders_) {
    if (s.in_flight() > 0 && now - s.last_progress_ns > stall_ns) {
      s.acked = s.view.next_sequence;
      s.last_progress_ns = now;
    }
  }
}

// The closed loop wakes for replies, which open room in a window; the open
// loop sleeps to its next send, since the kernel stamps arrivals anyway.
void load_generator::wait(std::uint64_t until_ns) {
  const std::uint64_t now = now_ns();
  const std::uint64_t left = until_ns > now ? until_ns - now : 0;
  const timespec timeout{static_cast<time_t>(left / second_ns),
                         static_cast<long>(left % second_ns)};
  if (plan_.rate) {
    nanosleep(&timeout, nullptr);
  } else {
    ppoll(poll_set_.data(), poll_set_.size(), &timeout, nullptr);
  }
}

std::uint64_t load_generator::next_open_loop_send_ns() const {
  // Wake for a batch's worth, or a millisecond's worth, whichever is less.
  const double quantum = std::clamp(*plan_.rate / 1000.0, 1.0, static_cast<double>(plan_.batch));
  const double at = (static_cast<double>(result_.sent) + schedule_base_ + quantum) / *plan_.rate;
  return start_ns_ + static_cast<std::uint64_t>(at * second_ns);
}

load_progress load_generator::snapshot(std::uint64_t now) {
  std::uint64_t in_flight = 0;
  for (const auto& s : senders_) in_flight += s.in_flight();
  const std::uint64_t settled = result_.answered + in_flight;
  load_progress progress{static_cast<double>(now - start_ns_) / second_ns, result_.sent,
                         result_.answered, result_.sent > settled ? result_.sent - settled : 0,
                         static_cast<double>(result_.answered - last_progress_answered_)};
  last_progress_answered_ = result_.answered;
  return progress;
}

void load_generator::send_until_end(const std::function<void(const load_progress&)>& progress) {
  const std::uint64_t end_ns =
      start_ns_ + static_cast<std::uint64_t>(plan_.duration_seconds * second_ns);
  std::uint64_t next_report_ns = start_ns_ + second_ns;
  std::uint64_t now = start_ns_;
  while (now < end_ns && count_left() > 0 && stop_ == 0) {
    const bool sent = plan_.rate ? send_open_loop(now) : send_closed_loop();
    const bool received = receive_all();
    now = now_ns();
    if (!plan_.rate) write_off_stalled(now);
    if (now >= next_report_ns) {
      if (progress) progress(snapshot(now));
      next_report_ns += second_ns;
    }
    // Sending ends with the last request counted, not a send interval later.
    if (count_left() == 0) break;
    // The open loop sleeps to its next send whatever came in; the closed
    // loop only when there was nothing to do.
    if (plan_.rate || (!sent && !received)) {
      const std::uint64_t wake = plan_.rate ? next_open_loop_send_ns() : now + 10'000'000;
      wait(std::min({wake, end_ns, next_report_ns}));
      now = now_ns();
    }
  }
  result_.sending_seconds = static_cast<double>(now - start_ns_) / second_ns;
}

void load_generator::drain() {
  std::uint64_t now = now_ns();
  std::uint64_t drain_end = now + static_cast<std::uint64_t>(plan_.drain_seconds * second_ns);
  while (result_.answered < result_.sent && now < drain_end) {
    if (stop_ != 0) drain_end = std::min(drain_end, now + stopped_drain_ns);
    if (!receive_all()) wait(std::min(drain_end, now + 10'000'000));
    now = now_ns();
  }
}

load_result load_generator::run(const std::function<void(const load_progress&)>& progress) {
  start_ns_ = now_ns();
  send_until_end(progress);
  drain();
  count_drops_at_generator();
  result_.stopped_by_signal = stop_;
  return result_;
}

}  // namespace

load_result run_load(const load_plan& plan, const std::function<void(const load_progress&)>& progress,
                     const stop_signal& stop) {
  return load_generator(plan, stop).run(progress);
}

}  // namespace reflector::tools
