// The load generator's pure parts: the stamp a request carries, the verdict
// on what comes back, telling first replies from duplicates, the split of
// what was lost, the exit status a run earns, and the latency histogram.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <csignal>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "protocol/reflection.h"
#include "tests/support/addresses.h"
#include "tools/common/tool_errors.h"
#include "tools/reflect_bench/answered_window.h"
#include "tools/reflect_bench/bench_help.h"
#include "tools/reflect_bench/bench_options.h"
#include "tools/reflect_bench/bench_report.h"
#include "tools/reflect_bench/latency_histogram.h"
#include "tools/reflect_bench/load_result.h"
#include "tools/reflect_bench/reply_check.h"
#include "tools/reflect_bench/request_stamp.h"

namespace reflector::tools {
namespace {

using test::address_of;

TEST(RequestStamp, SurvivesTheTripThroughTheKeyAtItsExtremes) {
  for (const request_stamp stamp :
       {request_stamp{0, 0, 0, 0}, request_stamp{0xffff, 0xffff, 0xffffffff, UINT64_MAX},
        request_stamp{0x1234, 7, 0x80000001, 1'700'000'000'123'456'789ULL}}) {
    const request_stamp back = stamp_of(key_of(stamp));
    EXPECT_EQ(back.run_tag, stamp.run_tag);
    EXPECT_EQ(back.socket_index, stamp.socket_index);
    EXPECT_EQ(back.sequence, stamp.sequence);
    EXPECT_EQ(back.sent_ns, stamp.sent_ns);
  }
}

// Sender 1 at 192.0.2.1:40001 has sent sequences 10..19; the service's own
// handler turns its request into the reply under judgement.
class JudgeReply : public testing::Test {
 protected:
  static constexpr std::uint16_t tag = 0xbeef;

  void SetUp() override {
    senders[0] = {{port_bytes(40000), address_of("192.0.2.1")}, 0, 0};
    senders[1] = {{port_bytes(40001), address_of("192.0.2.1")}, 10, 20};
  }

  std::vector<std::uint8_t> reply(request_stamp stamp, std::size_t length = 48) const {
    std::vector<std::uint8_t> message(longest_request);
    write_request(message.data(), QUERY, key_of(stamp));
    std::array<std::uint8_t, 16> address = senders[1].own.address;
    std::uint16_t port;
    std::memcpy(&port, senders[1].own.port.data(), 2);
    bool drop = true;
    const auto received = static_cast<std::uint32_t>(length);
    handle_message(address, port, message.data(), received, drop);
    message.resize(length);
    return message;
  }

  reply_verdict judge(const std::vector<std::uint8_t>& datagram) const {
    return judge_reply(datagram, expected, senders).verdict;
  }

  std::array<sender_view, 2> senders;
  reply_expectation expected{QUERY_REPLY, 48, tag, 2};
  request_stamp sent{tag, 1, 15, 123};
};

TEST_F(JudgeReply, AcceptsTheReplyToASentRequest) {
  const reply_judgement judged = judge_reply(reply(sent), expected, senders);
  EXPECT_EQ(judged.verdict, reply_verdict::good);
  EXPECT_EQ(judged.stamp.sequence, 15u);
  EXPECT_EQ(judged.stamp.sent_ns, 123u);
  EXPECT_EQ(judge(reply({tag, 1, 10, 0})), reply_verdict::good) << "oldest sent";
  EXPECT_EQ(judge(reply({tag, 1, 19, 0})), reply_verdict::good) << "newest sent";
}

TEST_F(JudgeReply, NamesEachKindOfMismatch) {
  auto wrong_type = reply(sent);
  write_type(wrong_type.data(), FORWARD_REPLY);
  EXPECT_EQ(judge(wrong_type), reply_verdict::wrong_type);
  EXPECT_EQ(judge(reply(sent, 47)), reply_verdict::wrong_length);
  EXPECT_EQ(judge(reply(sent, 49)), reply_verdict::wrong_length);
  auto wrong_address = reply(sent);
  wrong_address[xaddress_offset + 15] ^= 1;
  EXPECT_EQ(judge(wrong_address), reply_verdict::wrong_address);
  auto wrong_port = reply(sent);
  wrong_port[xport_offset] ^= 1;
  EXPECT_EQ(judge(wrong_port), reply_verdict::wrong_address);
}

TEST_F(JudgeReply, WhatThisRunDidNotSendIsForeign) {
  EXPECT_EQ(judge(reply({tag ^ 1, 1, 15, 0})), reply_verdict::foreign) << "other run";
  EXPECT_EQ(judge(reply({tag, 2, 15, 0})), reply_verdict::foreign) << "no such socket";
  EXPECT_EQ(judge(reply({tag, 1, 20, 0})), reply_verdict::foreign) << "not sent yet";
  EXPECT_EQ(judge(reply({tag, 1, 9, 0})), reply_verdict::foreign) << "before the first";
  EXPECT_EQ(judge(reply({tag, 0, 0, 0})), reply_verdict::foreign) << "socket sent nothing";
  auto bad_magic = reply(sent);
  bad_magic[magic_offset] ^= 1;
  EXPECT_EQ(judge(bad_magic), reply_verdict::foreign);
  EXPECT_EQ(judge(std::vector<std::uint8_t>(39)), reply_verdict::foreign);
}

TEST_F(JudgeReply, SequenceNumbersWrapAround) {
  senders[1].next_sequence = 3;  // sent 0xfffffff9 .. 2
  EXPECT_EQ(judge(reply({tag, 1, 0xfffffffa, 0})), reply_verdict::good);
  EXPECT_EQ(judge(reply({tag, 1, 2, 0})), reply_verdict::good);
  EXPECT_EQ(judge(reply({tag, 1, 3, 0})), reply_verdict::foreign);
}

// Whatever holds the 20 bytes of the stamp is attributed, so a reply cut
// short, even below the header, is a reply of the wrong length; only what
// cannot carry the stamp is foreign.
TEST_F(JudgeReply, EveryLengthThatCarriesTheStampIsJudgedOnItsLength) {
  const struct {
    std::size_t length;
    reply_verdict expected;
  } cases[] = {
      {0, reply_verdict::foreign},       {4, reply_verdict::foreign},
      {19, reply_verdict::foreign},      {20, reply_verdict::wrong_length},
      {39, reply_verdict::wrong_length}, {header_size, reply_verdict::wrong_length},
      {47, reply_verdict::wrong_length}, {48, reply_verdict::good},
      {49, reply_verdict::wrong_length}, {longest_request, reply_verdict::wrong_length},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(judge(reply(sent, c.length)), c.expected) << c.length << " bytes";
  }
}

TEST_F(JudgeReply, AShortDatagramOfAnotherRunOrWithoutMagicIsForeign) {
  EXPECT_EQ(judge(reply({tag ^ 1, 1, 15, 0}, 39)), reply_verdict::foreign) << "other run";
  EXPECT_EQ(judge(reply({tag, 1, 20, 0}, 20)), reply_verdict::foreign) << "not sent yet";
  auto bad_magic = reply(sent, 39);
  bad_magic[magic_offset + 3] ^= 1;
  EXPECT_EQ(judge(bad_magic), reply_verdict::foreign);
}

// One socket's history: what it sent, into a window of 64 sequences.
class sending_socket {
 public:
  explicit sending_socket(std::uint32_t first) : next_(first) {}
  void send(std::uint32_t count) {
    window_.open(next_, count);
    next_ += count;
  }
  reply_order reply(std::uint32_t sequence) { return window_.record(sequence, next_); }

 private:
  answered_window window_{64};
  std::uint32_t next_;
};

struct window_step {
  std::uint32_t send = 0;      // requests sent first, then
  std::uint32_t sequence = 0;  // a good reply to this one comes back
  reply_order expected = reply_order::first;
};

struct window_case {
  const char* name;
  std::uint32_t first_sequence;
  std::vector<window_step> steps;
};

TEST(AnsweredWindow, TellsFirstRepliesFromDuplicatesAndTooOldOnes) {
  using enum reply_order;
  const window_case cases[] = {
      {"repeats_of_one_request",
       0,
       {{10, 5, first}, {0, 5, duplicate}, {0, 5, duplicate}, {0, 6, first}}},
      {"out_of_order", 0, {{10, 9, first}, {0, 0, first}, {0, 9, duplicate}, {0, 0, duplicate}}},
      {"reach_is_the_last_64_sent", 0, {{100, 36, first}, {0, 35, too_old}, {0, 99, first}}},
      {"too_old_stays_too_old_when_repeated", 0, {{100, 35, too_old}, {0, 35, too_old}}},
      {"a_reused_slot_forgets_its_old_answer",
       0,
       {{10, 3, first}, {90, 67, first}, {0, 67, duplicate}}},
      {"an_answer_made_before_the_slot_was_reused_is_gone",
       0,
       {{10, 3, first}, {58, 3, too_old}, {0, 67, first}}},
      {"across_the_sequence_wrap",
       0xffffffe0,
       {{64, 0xffffffe0, first}, {0, 0x1f, first}, {0, 0x1f, duplicate}, {1, 0xffffffe0, too_old}}},
  };
  for (const auto& c : cases) {
    sending_socket socket(c.first_sequence);
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
      socket.send(c.steps[i].send);
      EXPECT_EQ(socket.reply(c.steps[i].sequence), c.steps[i].expected) << c.name << " step " << i;
    }
  }
}

TEST(AnsweredWindow, SpanReachesPastTheWidestWindowAndKeepsMemoryBounded) {
  for (const unsigned sockets : {1u, 7u, 8u, 100u, 1024u}) {
    const std::uint32_t span = answered_window_span(sockets);
    EXPECT_TRUE(std::has_single_bit(span)) << sockets;
    EXPECT_GE(span, 65536u) << sockets;
    EXPECT_LE(std::uint64_t{span} * sockets, std::max<std::uint64_t>(1u << 25, 65536ull * sockets))
        << sockets;
    EXPECT_NO_THROW(answered_window{span});
  }
  for (const std::uint32_t bad : {0u, 32u, 63u, 100u}) {
    EXPECT_THROW(answered_window{bad}, std::invalid_argument) << bad;
  }
}

// Drops at the tool's own sockets can include duplicates and strangers, so
// they explain at most the whole loss; without a count, neither part is known.
TEST(LoadResult, LostSplitsIntoDropsAtTheGeneratorAndTheRest) {
  using count = std::optional<std::uint64_t>;
  const struct {
    std::uint64_t sent, answered;
    count dropped, at_generator, beyond;
  } cases[] = {
      {100, 60, std::nullopt, std::nullopt, std::nullopt},
      {100, 60, 0, 0, 40},
      {100, 60, 25, 25, 15},
      {100, 60, 40, 40, 0},
      {100, 60, 1000, 40, 0},
      {100, 100, 7, 0, 0},
      {0, 0, 5, 0, 0},
  };
  for (const auto& c : cases) {
    load_result result;
    result.sent = c.sent;
    result.answered = c.answered;
    result.dropped_at_generator = c.dropped;
    EXPECT_EQ(result.lost_at_generator(), c.at_generator) << c.sent << "/" << c.answered;
    EXPECT_EQ(result.lost_beyond(), c.beyond) << c.sent << "/" << c.answered;
  }
}

struct run_case {
  const char* name;
  std::uint64_t sent, answered, duplicated;
  mismatch_counts mismatched;
  int stopped_by_signal;
  int expected_status;
  std::vector<std::string> expected_messages;  // each a part of one line, in order
};

TEST(JudgeRun, AFailedRunIsNotReportedAsSuccess) {
  const std::string server = "192.0.2.1:1213";
  const run_case cases[] = {
      {"all_answered", 10, 10, 0, {}, 0, exit_ok, {}},
      {"some_lost", 10, 1, 0, {}, 0, exit_ok, {}},
      {"nothing_answered", 10, 0, 0, {}, 0, exit_no_answer,
       {"nothing was answered: is a reflector running at 192.0.2.1:1213?"}},
      {"nothing_sent", 0, 0, 0, {}, 0, exit_no_answer, {"nothing could be sent to 192.0.2.1:1213"}},
      {"addresses_rewritten", 10, 0, 0, {0, 0, 10, 0}, 0, exit_mismatched,
       {"10 replies mismatched: is an address translator"}},
      {"one_stranger_among_answers", 10, 9, 0, {0, 0, 0, 1}, 0, exit_mismatched,
       {"1 replies mismatched: is something other than a reflector answering at 192.0.2.1:1213?"}},
      {"wrong_lengths", 10, 0, 0, {0, 3, 0, 0}, 0, exit_mismatched, {"3 replies mismatched"}},
      {"duplicates_warn_only", 10, 10, 20, {}, 0, exit_ok, {"20 duplicate replies"}},
      {"duplicates_beside_a_failure", 10, 0, 20, {0, 0, 10, 0}, 0, exit_mismatched,
       {"replies mismatched", "20 duplicate replies"}},
      {"interrupted", 10, 10, 0, {}, SIGINT, 130, {}},
      {"interrupted_before_any_answer", 10, 0, 0, {}, SIGINT, 130, {"nothing was answered"}},
      {"terminated", 10, 0, 0, {0, 0, 1, 0}, SIGTERM, 143, {"replies mismatched"}},
  };
  for (const auto& c : cases) {
    load_result result;
    result.sent = c.sent;
    result.answered = c.answered;
    result.duplicated = c.duplicated;
    result.mismatched = c.mismatched;
    result.stopped_by_signal = c.stopped_by_signal;
    const run_verdict verdict = judge_run(result, server);
    EXPECT_EQ(verdict.status, c.expected_status) << c.name;
    ASSERT_EQ(verdict.messages.size(), c.expected_messages.size()) << c.name;
    for (std::size_t i = 0; i < c.expected_messages.size(); ++i) {
      EXPECT_NE(verdict.messages[i].find(c.expected_messages[i]), std::string::npos)
          << c.name << ": " << verdict.messages[i];
      EXPECT_EQ(verdict.messages[i].find('\n'), std::string::npos) << c.name << ": one line";
    }
  }
}

// No count of the tool's own drops must not read as "none dropped".
TEST(BenchReport, DropsThatCannotBeCountedShowAsUnavailableNotAsZero) {
  const bench_options options = *read_bench_options({"192.0.2.1"});
  load_result result;
  result.sent = 100;
  result.answered = 90;
  result.duplicated = 180;
  const bench_summary summary{options, result, std::nullopt, 0};
  EXPECT_NE(summary_json(summary).find("\"lost_at_generator\":null,\"lost_beyond\":null"),
            std::string::npos)
      << summary_json(summary);
  EXPECT_NE(summary_table(summary).find("at generator n/a"), std::string::npos)
      << summary_table(summary);

  result.dropped_at_generator = 4;
  EXPECT_NE(summary_json(summary).find("\"lost_at_generator\":4,\"lost_beyond\":6"),
            std::string::npos)
      << summary_json(summary);
  EXPECT_NE(summary_json(summary).find("\"duplicated\":180"), std::string::npos);
}

TEST(LatencyHistogram, EmptyHasNoPercentiles) {
  const latency_histogram empty;
  EXPECT_EQ(empty.count(), 0u);
  EXPECT_EQ(empty.percentile(0.5), 0u);
  EXPECT_EQ(empty.max(), 0u);
}

TEST(LatencyHistogram, PercentilesStayWithinThreePercentOfTheTruth) {
  std::mt19937_64 random(42);
  std::lognormal_distribution<double> spread(11.0, 1.5);  // around 60 us, long tail
  std::vector<std::uint64_t> samples(100'000);
  latency_histogram histogram;
  for (auto& sample : samples) {
    sample = static_cast<std::uint64_t>(spread(random));
    histogram.record(sample);
  }
  std::sort(samples.begin(), samples.end());
  for (const double q : {0.5, 0.9, 0.99, 0.999}) {
    const double truth = static_cast<double>(samples[static_cast<std::size_t>(q * samples.size()) - 1]);
    EXPECT_NEAR(static_cast<double>(histogram.percentile(q)), truth, truth * 0.03) << q;
  }
  EXPECT_EQ(histogram.max(), samples.back());
  EXPECT_EQ(histogram.percentile(1.0), samples.back());
}

TEST(LatencyHistogram, SmallAndHugeValuesLandExactlyOrCapped) {
  latency_histogram histogram;
  for (std::uint64_t v = 0; v < 64; ++v) histogram.record(v);
  EXPECT_EQ(histogram.percentile(0.5), 31u);
  histogram.record(UINT64_MAX);
  EXPECT_EQ(histogram.max(), UINT64_MAX);
  EXPECT_EQ(histogram.percentile(1.0), UINT64_MAX);
  EXPECT_FALSE(histogram.draw().empty());
}

// --size takes a header up to the longest request the service answers, and
// the help says so.
TEST(BenchOptions, SizeRunsFromAHeaderToTheLongestRequest) {
  const auto size_of = [](std::size_t size) {
    return read_bench_options({"--size", std::to_string(size), "192.0.2.1"})->plan.request_size;
  };
  EXPECT_EQ(read_bench_options({"192.0.2.1"})->plan.request_size, header_size);
  EXPECT_EQ(size_of(header_size), header_size);
  EXPECT_EQ(size_of(longest_request), longest_request);
  EXPECT_THROW(size_of(header_size - 1), usage_error);
  EXPECT_THROW(size_of(longest_request + 1), usage_error);
  EXPECT_EQ(read_bench_options({"192.0.2.1"})->plan.server.port(), service_port);

  const std::string range = std::to_string(header_size) + " to " + std::to_string(longest_request);
  EXPECT_NE(bench_help.find("request size, " + range), std::string::npos) << bench_help;
  EXPECT_NE(bench_help.find("(default\n" + std::to_string(service_port) + ")"), std::string::npos);
  EXPECT_EQ(bench_help.find_first_of("{}"), std::string::npos);
}

}  // namespace
}  // namespace reflector::tools
