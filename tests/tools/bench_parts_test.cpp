// The load generator's pure parts: the stamp a request carries, the verdict
// on what comes back, and the latency histogram.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "protocol/reflection.h"
#include "tests/support/addresses.h"
#include "tools/common/tool_errors.h"
#include "tools/reflect_bench/bench_help.h"
#include "tools/reflect_bench/bench_options.h"
#include "tools/reflect_bench/latency_histogram.h"
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
    return read_bench_options({"--size", std::to_string(size), "192.0.2.1"}).plan.request_size;
  };
  EXPECT_EQ(read_bench_options({"192.0.2.1"}).plan.request_size, header_size);
  EXPECT_EQ(size_of(header_size), header_size);
  EXPECT_EQ(size_of(longest_request), longest_request);
  EXPECT_THROW(size_of(header_size - 1), usage_error);
  EXPECT_THROW(size_of(longest_request + 1), usage_error);
  EXPECT_EQ(read_bench_options({"192.0.2.1"}).plan.server.port(), service_port);

  const std::string range = std::to_string(header_size) + " to " + std::to_string(longest_request);
  EXPECT_NE(bench_help.find("request size, " + range), std::string::npos) << bench_help;
  EXPECT_NE(bench_help.find("(default\n" + std::to_string(service_port) + ")"), std::string::npos);
  EXPECT_EQ(bench_help.find_first_of("{}"), std::string::npos);
}

}  // namespace
}  // namespace reflector::tools
