// The system's UDP counters as the kernel prints them: two lines per
// protocol in /proc/net/snmp, one line per counter in /proc/net/snmp6.
#include <gtest/gtest.h>

#include "platform/udp_counters.h"

namespace reflector {
namespace {

constexpr const char* snmp =
    "Ip: Forwarding DefaultTTL InReceives InHdrErrors InAddrErrors ForwDatagrams InUnknownProtos InDiscards "
    "InDelivers OutRequests OutDiscards OutNoRoutes ReasmTimeout ReasmReqds ReasmOKs ReasmFails FragOKs "
    "FragFails FragCreates OutTransmits\n"
    "Ip: 2 64 1000 0 0 0 0 0 1000 900 0 7 0 0 0 0 0 0 0 900\n"
    "Icmp: InMsgs InErrors InCsumErrors\n"
    "Icmp: 5 1 0\n"
    "Udp: InDatagrams NoPorts InErrors OutDatagrams RcvbufErrors SndbufErrors InCsumErrors IgnoredMulti MemErrors\n"
    "Udp: 4006 12 3816 190 3810 3 6 0 0\n"
    "UdpLite: InDatagrams NoPorts InErrors OutDatagrams RcvbufErrors SndbufErrors InCsumErrors IgnoredMulti "
    "MemErrors\n"
    "UdpLite: 99 99 99 99 99 99 99 99 99\n";

constexpr const char* snmp6 =
    "Ip6InReceives                   \t50\n"
    "Ip6OutNoRoutes                  \t4\n"
    "Udp6InDatagrams                 \t41\n"
    "Udp6NoPorts                     \t2\n"
    "Udp6InErrors                    \t9\n"
    "Udp6OutDatagrams                \t40\n"
    "Udp6RcvbufErrors                \t8\n"
    "Udp6SndbufErrors                \t1\n"
    "Udp6InCsumErrors                \t1\n"
    "UdpLite6InDatagrams             \t77\n";

struct counter_case {
  const char* name;
  std::optional<std::uint64_t> udp_counters::*field;
  std::uint64_t ipv4;
  std::uint64_t ipv6;
};

class UdpCountersFromProc : public testing::TestWithParam<counter_case> {};

TEST_P(UdpCountersFromProc, ReadsEachCounterOfEachFamilyAndNotUdpLitesOrAnotherColumn) {
  const auto readings = udp_counters_from_proc(snmp, snmp6);
  ASSERT_EQ(readings.size(), 2u);
  EXPECT_EQ(readings[0].family, "ipv4");
  EXPECT_EQ(readings[1].family, "ipv6");
  EXPECT_EQ(readings[0].*GetParam().field, GetParam().ipv4);
  EXPECT_EQ(readings[1].*GetParam().field, GetParam().ipv6);
}

INSTANTIATE_TEST_SUITE_P(
    Counters, UdpCountersFromProc,
    testing::Values(counter_case{"in_datagrams", &udp_counters::in_datagrams, 4006, 41},
                    counter_case{"out_datagrams", &udp_counters::out_datagrams, 190, 40},
                    counter_case{"in_errors", &udp_counters::in_errors, 3816, 9},
                    counter_case{"receive_buffer_errors", &udp_counters::receive_buffer_errors, 3810, 8},
                    counter_case{"send_buffer_errors", &udp_counters::send_buffer_errors, 3, 1},
                    counter_case{"checksum_errors", &udp_counters::checksum_errors, 6, 1},
                    counter_case{"no_port", &udp_counters::no_port, 12, 2},
                    counter_case{"out_no_route", &udp_counters::out_no_route, 7, 4}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(UdpCountersFromProcText, LeavesOutWhatAnOlderOrStrangerKernelDoesNotPrint) {
  // No checksum counter (older kernels), a names line without its values
  // line, and a value that is no number.
  const auto readings = udp_counters_from_proc(
      "Udp: InDatagrams NoPorts InErrors OutDatagrams RcvbufErrors SndbufErrors\n"
      "Udp: 10 x 0 5 0 0\n"
      "Tcp: RtoAlgorithm\n",
      "Udp6InDatagrams 3\nUdp6NoPorts\n");
  ASSERT_EQ(readings.size(), 2u);
  EXPECT_EQ(readings[0].in_datagrams, 10u);
  EXPECT_EQ(readings[0].no_port, std::nullopt);
  EXPECT_EQ(readings[0].checksum_errors, std::nullopt);
  EXPECT_EQ(readings[0].out_no_route, std::nullopt);
  EXPECT_EQ(readings[1].in_datagrams, 3u);
  EXPECT_EQ(readings[1].no_port, std::nullopt);

  const auto empty = udp_counters_from_proc("", "");
  EXPECT_EQ(empty[0].in_datagrams, std::nullopt);
  EXPECT_EQ(empty[1].in_datagrams, std::nullopt);
}

}  // namespace
}  // namespace reflector
