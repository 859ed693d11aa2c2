// What the health check remembers between runs, and what counts as a drop
// since the last check.
#include <sys/socket.h>

#include <gtest/gtest.h>

#include "tools/reflect_stats/drop_baseline.h"

namespace reflector::tools {
namespace {

drop_baseline sockets(std::map<std::uint64_t, std::uint64_t> drops) { return {std::move(drops), std::nullopt}; }

struct since_case {
  const char* name;
  drop_baseline before;
  drop_baseline now;
  std::uint64_t datagrams;
  std::size_t sockets;
};

class DropsSince : public testing::TestWithParam<since_case> {};

TEST_P(DropsSince, CountsWhatIsNew) {
  const auto found = drops_since(GetParam().before, GetParam().now);
  EXPECT_EQ(found.datagrams, GetParam().datagrams);
  EXPECT_EQ(found.sockets, GetParam().sockets);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DropsSince,
    testing::Values(
        since_case{"unchanged", sockets({{1, 5}, {2, 0}}), sockets({{1, 5}, {2, 0}}), 0, 0},
        since_case{"one_socket_dropped", sockets({{1, 5}, {2, 0}}), sockets({{1, 5}, {2, 3}}), 3, 1},
        since_case{"both_dropped", sockets({{1, 5}, {2, 0}}), sockets({{1, 6}, {2, 3}}), 4, 2},
        // The service restarted: its new sockets were opened after the last
        // check, so everything they dropped is new.
        since_case{"new_sockets_after_a_restart", sockets({{1, 5}, {2, 0}}), sockets({{3, 2}, {4, 0}}), 2, 1},
        since_case{"socket_gone", sockets({{1, 5}, {2, 9}}), sockets({{1, 5}}), 0, 0},
        // An id the system gave a new socket: its count starts again.
        since_case{"id_reused_with_a_lower_count", sockets({{1, 50}}), sockets({{1, 4}}), 4, 1},
        since_case{"system_count_where_sockets_have_none", drop_baseline{{}, 10}, drop_baseline{{}, 17}, 7, 0},
        since_case{"system_count_first_seen", drop_baseline{{}, std::nullopt}, drop_baseline{{}, 17}, 0, 0},
        since_case{"system_count_reset_by_a_reboot", drop_baseline{{}, 40}, drop_baseline{{}, 3}, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DropBaseline, SurvivesItsOwnTextAndRefusesAnyOther) {
  const drop_baseline baseline{{{2466024, 2408}, {2465531, 0}}, 12};
  const auto read = parse_baseline(baseline_text(baseline));
  ASSERT_TRUE(read);
  EXPECT_EQ(read->sockets, baseline.sockets);
  EXPECT_EQ(read->system_receive_errors, 12u);
  EXPECT_TRUE(parse_baseline(""));

  for (const char* other : {"socket 1\n", "socket 1 2 3\n", "socket x 2\n", "system\n", "drops 4\n",
                            "socket 1 -2\n", "{\"socket\":1}\n"}) {
    EXPECT_FALSE(parse_baseline(other)) << other;
  }
}

TEST(DropBaseline, TakesTheSystemCountOnlyWhereSomeSocketHasNone) {
  service_snapshot snapshot;
  snapshot.sockets.push_back({udp_port_socket{7, AF_INET6, "::", 0, 0, 0, 3}, {}, {}, {}});
  snapshot.udp.push_back({"ipv4", {}, {}, {}, 20, {}, {}, {}, {}});
  snapshot.udp.push_back({"ipv6", {}, {}, {}, 2, {}, {}, {}, {}});
  auto baseline = baseline_of(snapshot);
  EXPECT_EQ(baseline.sockets, (std::map<std::uint64_t, std::uint64_t>{{7, 3}}));
  EXPECT_EQ(baseline.system_receive_errors, std::nullopt);

  snapshot.sockets.push_back({udp_port_socket{8, AF_INET6, "::", 0, 0, 0, std::nullopt}, {}, {}, {}});
  baseline = baseline_of(snapshot);
  EXPECT_EQ(baseline.system_receive_errors, 22u);
}

}  // namespace
}  // namespace reflector::tools
