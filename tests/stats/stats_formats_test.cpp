// reflect-stats' three outputs built from readings made by hand: what is
// known is shown where it belongs, what is not known is never shown as 0,
// and the Prometheus text keeps the format's rules.
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <sstream>

#include "tests/support/json_value.h"
#include "tools/reflect_stats/stats_json.h"
#include "tools/reflect_stats/stats_prometheus.h"
#include "tools/reflect_stats/stats_table.h"

namespace reflector::tools {
namespace {

using test::json_value;

socket_view owned_socket(std::uint64_t id, pid_t thread, int worker, std::uint64_t queued, std::uint64_t drops) {
  return {udp_port_socket{id, AF_INET6, "::", 0, queued, 212992, drops}, 100, thread, worker};
}

// A service of two workers; a third socket on the port belongs to someone
// this user cannot see, and its drops are not counted.
service_snapshot two_workers(double at, double cpu, std::uint64_t drops, std::uint64_t in) {
  service_snapshot snapshot;
  snapshot.taken_at = at;
  snapshot.pid = 100;
  snapshot.pid_found_by = "its sockets";
  snapshot.serving = true;
  snapshot.sockets = {owned_socket(11, 101, 0, 2048, drops), owned_socket(12, 102, 1, 0, 0),
                      {udp_port_socket{13, AF_INET, "192.0.2.1", 1000, 0, 4096, std::nullopt}, {}, {}, {}}};
  snapshot.workers = {{101, 0, cpu}, {102, 1, 0.5}};
  snapshot.udp = {{"ipv4", in, 10, 3, 2, 0, 1, 4, 0}, {"ipv6", 5, 5, 0, 0, 0, 0, 0, std::nullopt}};
  snapshot.fast_path.built = true;
  fast_path_view view{"eth\"0\\", true, "native", {}};
  view.counts = {{"answered", "ipv4", 12345678901}, {"answered", "ipv6", 2}, {"passed_forward", "ipv4", 0}};
  snapshot.fast_path.attachments.push_back(view);
  snapshot.notes = {"the owners of some sockets are not visible to this user"};
  return snapshot;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// A table row with exactly these cells, however they are spaced.
bool has_row(const std::string& text, const std::vector<std::string>& cells) {
  for (const auto& line : lines_of(text)) {
    std::istringstream words(line);
    std::vector<std::string> row;
    for (std::string word; words >> word;) row.push_back(word);
    if (row == cells) return true;
  }
  return false;
}

bool has_line(const std::string& text, const std::string& line) {
  for (const auto& one : lines_of(text)) {
    if (one == line) return true;
  }
  return false;
}

TEST(StatsPrometheus, EverySampleBelongsToAFamilyWithHelpAndTypeAndCountersEndInTotal) {
  const std::string text = stats_prometheus(two_workers(10, 1.5, 152, 4000));
  std::string family;
  std::string help_of;
  for (const auto& line : lines_of(text)) {
    if (line.starts_with("# HELP ")) {
      help_of = line.substr(7, line.find(' ', 7) - 7);
    } else if (line.starts_with("# TYPE ")) {
      std::istringstream fields(line.substr(7));
      std::string type;
      fields >> family >> type;
      EXPECT_EQ(help_of, family) << "no help before " << line;
      EXPECT_EQ(type == "counter", family.ends_with("_total")) << line;
      EXPECT_TRUE(family.starts_with("reflector_")) << line;
    } else {
      const std::string name = line.substr(0, line.find_first_of("{ "));
      EXPECT_EQ(name, family) << line;
    }
  }
}

TEST(StatsPrometheus, LabelsSocketsByIdAndWorkerAndLeavesOutWhatIsNotCounted) {
  const std::string text = stats_prometheus(two_workers(10, 1.5, 152, 4000));
  for (const char* line : {
           "reflector_up 1",
           "reflector_sockets 3",
           "reflector_workers 2",
           "reflector_socket_drops_total{socket=\"11\",worker=\"0\"} 152",
           "reflector_socket_queued_bytes{socket=\"11\",worker=\"0\"} 2048",
           "reflector_socket_receive_buffer_bytes{socket=\"13\"} 4096",
           "reflector_worker_cpu_seconds_total{worker=\"0\"} 1.5",
           "reflector_udp_in_datagrams_total{family=\"ipv4\"} 4000",
           "reflector_udp_receive_buffer_errors_total{family=\"ipv4\"} 2",
           "reflector_ip_out_no_routes_total{family=\"ipv4\"} 0",
           "reflector_fast_path_attached{interface=\"eth\\\"0\\\\\",mode=\"native\"} 1",
           "reflector_fast_path_packets_total{interface=\"eth\\\"0\\\\\",reason=\"answered\",family=\"ipv4\"} "
           "12345678901",
       }) {
    EXPECT_TRUE(has_line(text, line)) << "missing: " << line << "\n" << text;
  }
  // Not counted is not zero.
  EXPECT_EQ(text.find("reflector_socket_drops_total{socket=\"13\""), std::string::npos) << text;
  EXPECT_EQ(text.find("reflector_ip_out_no_routes_total{family=\"ipv6\""), std::string::npos) << text;
}

TEST(StatsPrometheus, SaysTheServiceIsDownAndOmitsEmptyFamilies) {
  service_snapshot nothing;
  const std::string text = stats_prometheus(nothing);
  EXPECT_TRUE(has_line(text, "reflector_up 0")) << text;
  EXPECT_TRUE(has_line(text, "reflector_sockets 0")) << text;
  for (const char* absent : {"reflector_workers", "reflector_socket_drops_total", "reflector_fast_path", "# TYPE reflector_udp"}) {
    EXPECT_EQ(text.find(absent), std::string::npos) << absent << "\n" << text;
  }
}

TEST(StatsJson, CarriesEveryFigureAndNullForWhatIsNotKnown) {
  const auto json = json_value::parse(stats_json(two_workers(10, 1.5, 152, 4000)));
  EXPECT_EQ(json["port"].integer(), 1213);
  EXPECT_EQ(json["pid"].integer(), 100);
  const auto& sockets = json["sockets"].array();
  ASSERT_EQ(sockets.size(), 3u);
  EXPECT_EQ(sockets[0]["worker"].integer(), 0);
  EXPECT_EQ(sockets[0]["thread"].integer(), 101);
  EXPECT_EQ(sockets[0]["drops"].integer(), 152);
  EXPECT_EQ(sockets[0]["queued_bytes"].integer(), 2048);
  EXPECT_EQ(sockets[2]["family"].string(), "ipv4");
  EXPECT_EQ(sockets[2]["local_address"].string(), "192.0.2.1");
  EXPECT_TRUE(sockets[2]["pid"].is_null());
  EXPECT_TRUE(sockets[2]["worker"].is_null());
  EXPECT_TRUE(sockets[2]["drops"].is_null());
  // One socket without a count makes the total unknown, not smaller.
  EXPECT_TRUE(json["totals"]["drops"].is_null());
  EXPECT_EQ(json["totals"]["queued_bytes"].integer(), 2048);
  EXPECT_EQ(json["workers"].array().size(), 2u);
  EXPECT_DOUBLE_EQ(json["workers"].array()[0]["cpu_seconds"].number(), 1.5);
  EXPECT_EQ(json["udp"]["ipv4"]["no_port"].integer(), 4);
  EXPECT_TRUE(json["udp"]["ipv6"]["out_no_route"].is_null());
  const auto& attachment = json["fast_path"]["attachments"].array().at(0);
  EXPECT_EQ(attachment["interface"].string(), "eth\"0\\");
  EXPECT_EQ(attachment["packets"]["answered"]["ipv4"].number(), 12345678901.0);
  EXPECT_EQ(json["notes"].array().size(), 1u);

  service_snapshot nothing;
  const auto empty = json_value::parse(stats_json(nothing));
  EXPECT_TRUE(empty["pid"].is_null());
  EXPECT_EQ(empty["totals"]["drops"].integer(), 0);
  EXPECT_FALSE(empty["fast_path"]["built"].boolean());
}

TEST(StatsTable, PutsEachSocketBesideItsWorkerAndRatesOverTheTimeBetweenReadings) {
  const auto before = two_workers(10, 1.0, 100, 1000);
  const auto now = two_workers(12, 2.0, 152, 5000);

  const std::string once = stats_table(now);
  EXPECT_NE(once.find("reflectord: pid 100 (found by its sockets), 2 workers, 3 sockets on UDP port 1213"),
            std::string::npos)
      << once;
  EXPECT_TRUE(has_row(once, {"0", "101", "2.00", "11", "2048", "212992", "152"})) << once;
  EXPECT_TRUE(has_row(once, {"-", "-", "-", "13", "0", "4096", "n/a"})) << once;
  EXPECT_EQ(once.find("/s"), std::string::npos) << once;
  EXPECT_NE(once.find("note: the owners of some sockets"), std::string::npos) << once;

  const std::string watched = stats_table(now, &before);
  // Worker 0: 1 s of CPU in 2 s is 50 %, 52 drops in 2 s is 26 a second.
  EXPECT_TRUE(has_row(watched, {"0", "101", "2.00", "50.0", "11", "2048", "212992", "152", "26"})) << watched;
  EXPECT_TRUE(has_row(watched, {"in", "datagrams", "2000", "0"})) << watched;
  EXPECT_TRUE(has_row(watched, {"answered", "0", "0", "0", "0"})) << watched;
}

}  // namespace
}  // namespace reflector::tools
