// Variants of the fast path's program, each with one fault planted in it
// (built by tests/xdp/CMakeLists.txt), run through the same harness: the
// differential test is only worth something if it notices each of them.
#include <gtest/gtest.h>

#include <iostream>

#include "tests/xdp/differential_runs.h"

namespace reflector::xdp::test {
namespace {

// The crafted frames reach every edge; the random ones add volume.
constexpr std::size_t random_frame_count = 20'000;

std::string variant_path(const std::string& name) {
  return std::string(REFLECTOR_FAST_PATH_VARIANTS) + "/" + name + ".bpf.o";
}

struct planted_fault {
  const char* name;  // the variant, as tests/xdp/CMakeLists.txt names it
  const char* fault;
};

void PrintTo(const planted_fault& f, std::ostream* os) { *os << f.name; }

class PlantedFault : public testing::TestWithParam<planted_fault> {};

TEST_P(PlantedFault, IsNoticed) {
  const planted_fault& planted = GetParam();
  REFLECTOR_LOAD_OR_SKIP(program, variant_path(planted.name));
  differential_harness harness(*program, example_host());
  check_crafted(harness, crafted_frames(example_host()));
  check_random(harness, random_seed(), random_frame_count);
  harness.check_counters();
  std::cout << planted.name << " (" << planted.fault << "): " << harness.report(1);
  EXPECT_GT(harness.disagreements(), 0u) << planted.fault << " went unnoticed";
}

INSTANTIATE_TEST_SUITE_P(
    Variants, PlantedFault,
    testing::Values(
        planted_fault{"checksum_not_updated", "the UDP checksum left as the request's"},
        planted_fault{"computed_zero_sent_as_zero", "a UDP checksum computed as 0 sent as 0, not ffff"},
        planted_fault{"short_payload_edge_at_39", "39-byte payloads taken for whole headers"},
        planted_fault{"oversize_edge_at_1232", "1232-byte QUERYs passed as oversize"},
        planted_fault{"destination_mac_not_checked", "frames to other MAC addresses answered"},
        planted_fault{"group_source_mac_answered", "frames from group MAC addresses answered"},
        planted_fault{"ipv6_zero_checksum_answered", "IPv6 datagrams without a checksum answered"},
        planted_fault{"ip_options_counted_as_fragment", "IPv4 options counted under fragments"},
        planted_fault{"ipv4_reply_carries_destination", "IPv4 replies carrying the host's own address"},
        planted_fault{"source_port_not_swapped", "replies sent from the client's port, not the service's"},
        planted_fault{"any_vlan_answered", "frames of VLANs the host is not on answered"},
        planted_fault{"subnet_broadcast_source_answered", "QUERYs from a subnet's broadcast address answered"}),
    [](const testing::TestParamInfo<planted_fault>& info) { return std::string(info.param.name); });

// The same source built the same way and left unchanged agrees: what the
// variants disagree on comes from their faults alone.
TEST(PlantedFaultControl, UnchangedCopyAgrees) {
  REFLECTOR_LOAD_OR_SKIP(program, variant_path("unchanged"));
  differential_harness harness(*program, example_host());
  check_crafted(harness, crafted_frames(example_host()));
  check_random(harness, random_seed(), random_frame_count);
  harness.check_counters();
  EXPECT_EQ(harness.disagreements(), 0u) << harness.report();
}

}  // namespace
}  // namespace reflector::xdp::test
