// What the fast path answers on a real link, and what it leaves to the
// kernel and reflectord: replies byte for byte as the service's own handler
// makes them, in both families, with reflectord stopped; FORWARDs through
// reflectord while it is attached; reflect-bench's load all answered and
// all counted.
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <chrono>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "protocol/message_layout.h"
#include "protocol/reflection.h"
#include "tests/support/reflection_exchange.h"
#include "tests/xdp/e2e/veth_topology.h"

namespace reflector::test {
namespace {

using namespace std::chrono_literals;

// The reply reflectord would send to a request from address:port.
std::vector<std::uint8_t> service_reply(std::vector<std::uint8_t> request, const address16& address,
                                        std::uint16_t port) {
  address16 slot_address = address;
  std::uint16_t slot_port = htons(port);
  bool drop = true;
  const auto length = static_cast<std::uint32_t>(request.size());
  handle_message(slot_address, slot_port, request.data(), length, drop);
  if (drop) request.clear();
  return request;
}

long long json_integer(const std::string& json, const std::string& key) {
  const std::string member = "\"" + key + "\":";
  const auto at = json.find(member);
  if (at == std::string::npos) return -1;
  const auto digits = at + member.size();
  if (digits >= json.size() || json[digits] < '0' || json[digits] > '9') return -1;
  return std::stoll(json.substr(digits));
}

const char* other_family(const address_family& family) {
  return std::string(family.name) == "ipv4" ? "ipv6" : "ipv4";
}

// Verdicts that valid QUERYs and FORWARDs from the client must never get:
// each would be a request dropped or left to the kernel for no good reason.
// (passed_other is left out: ARP and neighbour discovery land there.)
constexpr const char* unwanted_reasons[] = {
    "dropped_short",     "dropped_magic",     "dropped_type",    "passed_oversize",
    "passed_not_local",  "passed_ip_options", "passed_fragment", "passed_zero_checksum",
    "passed_bad_source", "passed_malformed",
};

void expect_nothing_unwanted(const fast_path_counts& counts) {
  for (const char* reason : unwanted_reasons) {
    EXPECT_EQ(counts.total(reason), 0) << reason << " in " << counts.json();
  }
}

// ---- QUERYs answered by the fast path alone ----

struct query_case {
  const char* name;
  address_family family;
  std::size_t length;
  bool without_checksum;  // IPv4 only: the client sends UDP checksum 0
};

void PrintTo(const query_case& c, std::ostream* out) { *out << c.name; }

const query_case query_cases[] = {
    {"ipv4_header_only", ipv4, header_size, false},
    {"ipv4_odd_length", ipv4, header_size + 1, false},
    {"ipv4_longest", ipv4, longest_request, false},
    {"ipv4_without_checksum", ipv4, header_size + 7, true},
    {"ipv6_header_only", ipv6, header_size, false},
    {"ipv6_odd_length", ipv6, header_size + 13, false},
    {"ipv6_longest", ipv6, longest_request, false},
};

class FastPathAlone : public VethTopology, public testing::WithParamInterface<query_case> {};

// reflectord is not running, so whatever answers is the fast path. A reply
// whose UDP checksum the rewrite got wrong never reaches the socket.
TEST_P(FastPathAlone, AnswersQueriesAsTheServiceWould) {
  const query_case& c = GetParam();
  attach();
  udp_socket client = client_socket(c.family.client);
  if (c.without_checksum) {
    const int on = 1;
    ASSERT_EQ(setsockopt(client.fd(), SOL_SOCKET, SO_NO_CHECK, &on, sizeof on), 0);
  }
  constexpr std::uint32_t queries = 3;
  for (std::uint32_t tag = 1; tag <= queries; ++tag) {
    const std::vector<std::uint8_t> request = make_request(QUERY, tag, c.length);
    client.send_to(c.family.server, service_port, request);
    const auto reply = client.receive(2s);
    ASSERT_TRUE(reply.has_value()) << "no reply to QUERY " << tag;
    EXPECT_EQ(reply->from_address, address_of(c.family.server));
    EXPECT_EQ(reply->from_port, service_port);
    EXPECT_EQ(reply->bytes, service_reply(request, client.local_address(), client.local_port()))
        << "QUERY " << tag;
  }

  const tool_result query = on_client(
      REFLECT_PATH, {"query", c.family.server, "--json", "--tries", "1", "--timeout", "2"});
  ASSERT_TRUE(query.exited_with(0)) << query.describe();
  EXPECT_NE(query.out.find(std::string("\"address\":\"") + c.family.client + "\""),
            std::string::npos)
      << query.out;

  const fast_path_counts counted = counts();
  EXPECT_EQ(counted.at("answered", c.family.name), queries + 1) << counted.json();
  EXPECT_EQ(counted.at("answered", other_family(c.family)), 0) << counted.json();
  expect_nothing_unwanted(counted);
}

INSTANTIATE_TEST_SUITE_P(Requests, FastPathAlone, testing::ValuesIn(query_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- frames that are not the fast path's to answer ----

struct left_case {
  const char* name;
  address_family family;
  // Where the QUERY goes: the server (nullptr), or an address the client
  // reaches through a fixed neighbour entry with this MAC.
  const char* destination;
  const char* destination_mac;
  // Where it comes from: the client's address (nullptr), or one added to
  // the client for it.
  const char* source;
  std::size_t length;
  const char* reason;
};

void PrintTo(const left_case& c, std::ostream* out) { *out << c.name; }

constexpr const char* other_mac = "02:00:5e:00:53:99";

const left_case left_cases[] = {
    {"ipv4_address_not_the_hosts", ipv4, "192.0.2.99", server_mac, nullptr, header_size,
     "passed_not_local"},
    {"ipv6_address_not_the_hosts", ipv6, "2001:db8::99", server_mac, nullptr, header_size,
     "passed_not_local"},
    {"ipv4_frame_for_another_mac", ipv4, "192.0.2.1", other_mac, nullptr, header_size,
     "passed_not_local"},
    {"ipv6_frame_for_another_mac", ipv6, "2001:db8::1", other_mac, nullptr, header_size,
     "passed_not_local"},
    {"ipv4_longer_than_the_service_takes", ipv4, nullptr, nullptr, nullptr, longest_request + 1,
     "passed_oversize"},
    {"ipv6_longer_than_the_service_takes", ipv6, nullptr, nullptr, nullptr, longest_request + 1,
     "passed_oversize"},
    {"ipv4_source_the_egress_guard_covers", ipv4, nullptr, nullptr, "100.64.0.2", header_size,
     "passed_bad_source"},
    {"ipv6_source_the_egress_guard_covers", ipv6, nullptr, nullptr, "2002::2", header_size,
     "passed_bad_source"},
};

class LeftToTheKernel : public VethTopology, public testing::WithParamInterface<left_case> {
 protected:
  // A socket on an address just added to the client: an IPv6 one takes a
  // moment before it can be bound, even without duplicate address detection.
  udp_socket socket_on_new_address(const std::string& address) {
    const bool v6 = address.find(':') != std::string::npos;
    if (v6) {
      run_on_client({"ip", "-6", "addr", "add", address + "/128", "dev", client_interface, "nodad"});
    } else {
      run_on_client({"ip", "-4", "addr", "add", address + "/32", "dev", client_interface});
    }
    for (int attempt = 0;; ++attempt) {
      try {
        return client_socket(address);
      } catch (const std::runtime_error&) {
        if (attempt == 250) throw;
        std::this_thread::sleep_for(20ms);
      }
    }
  }
};

// Answering for another host's address or MAC would put the server's
// address on replies it has no business sending; an oversize QUERY is the
// service's to judge; a reply to a source the egress guard covers must go
// through the host's firewall, which the fast path's replies never see.
// reflectord is stopped, so nothing answers these.
TEST_P(LeftToTheKernel, GoesUnansweredAndIsCountedAsPassed) {
  const left_case& c = GetParam();
  attach();
  if (c.destination_mac != nullptr) {
    run_on_client({"ip", "neigh", "replace", c.destination, "lladdr", c.destination_mac, "dev",
                   client_interface, "nud", "permanent"});
  }
  const udp_socket client =
      c.source != nullptr ? socket_on_new_address(c.source) : client_socket(c.family.client);
  client.send_to(c.destination != nullptr ? c.destination : c.family.server, service_port,
                 make_request(QUERY, 1, c.length));
  EXPECT_FALSE(client.receive(300ms).has_value());

  const fast_path_counts counted = counts();
  EXPECT_EQ(counted.at(c.reason, c.family.name), 1) << counted.json();
  EXPECT_EQ(counted.total("answered"), 0) << counted.json();
}

INSTANTIATE_TEST_SUITE_P(Frames, LeftToTheKernel, testing::ValuesIn(left_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- beside a running reflectord ----

class BesideTheService : public VethTopology, public testing::WithParamInterface<address_family> {
 protected:
  void SetUp() override {
    VethTopology::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    start_service();
    if (HasFatalFailure()) return;
    attach();
  }
};

// The fast path hands FORWARDs on; reflectord's filter passes documentation
// addresses, so the client's own listener gets the FORWARD_REPLY.
TEST_P(BesideTheService, ForwardsGoThroughTheService) {
  const address_family& family = GetParam();
  const std::string target = with_brackets(family.client) + ":5000";
  std::optional<tool_run> listener;
  {
    const side_namespace::inside in(*client_ns_);
    listener.emplace(REFLECT_PATH,
                     std::vector<std::string>{"listen", target, "--count", "1", "--timeout", "10",
                                              "--from", family.server});
    ASSERT_TRUE(wait_until_port_taken(family.client, 5000));
  }
  const tool_result forward = on_client(REFLECT_PATH, {"forward", family.server, target});
  ASSERT_TRUE(forward.exited_with(0)) << forward.describe();

  const tool_result heard = listener->finish(std::chrono::seconds(15));
  ASSERT_TRUE(heard.exited_with(0)) << heard.describe();
  EXPECT_EQ(heard.out.rfind(with_brackets(family.client) + ":", 0), 0u) << heard.out;
  EXPECT_NE(heard.out.find(" from " + with_brackets(family.server) + ":1213"), std::string::npos)
      << heard.out;

  const fast_path_counts counted = counts();
  EXPECT_EQ(counted.at("passed_forward", family.name), 1) << counted.json();
  EXPECT_EQ(counted.total("answered"), 0) << counted.json();
}

// What the fast path answers never reaches reflectord: one reply, not two.
TEST_P(BesideTheService, AnswersEachQueryOnceInThePathsStead) {
  const address_family& family = GetParam();
  const udp_socket client = client_socket(family.client);
  const std::vector<std::uint8_t> request = make_request(QUERY, 42);
  client.send_to(family.server, service_port, request);
  const auto reply = client.receive(2s);
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(reply->bytes, service_reply(request, client.local_address(), client.local_port()));
  EXPECT_FALSE(client.receive(200ms).has_value()) << "a second reply";

  const fast_path_counts counted = counts();
  EXPECT_EQ(counted.at("answered", family.name), 1) << counted.json();
  expect_nothing_unwanted(counted);
}

INSTANTIATE_TEST_SUITE_P(Families, BesideTheService, testing::Values(ipv4, ipv6),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- reflect-bench's load ----

struct load_case {
  const char* name;
  address_family family;
  std::vector<std::string> args;
  bool open_loop;  // nothing may be lost at a modest fixed rate
};

void PrintTo(const load_case& c, std::ostream* out) { *out << c.name; }

const load_case load_cases[] = {
    {"ipv4_open_loop", ipv4, {"--rate", "5000", "--count", "2500"}, true},
    {"ipv6_open_loop_long_requests",
     ipv6,
     {"--rate", "5000", "--count", "2500", "--size", "300"},
     true},
    {"ipv4_closed_loop", ipv4, {"--count", "30000", "--duration", "5"}, false},
};

class UnderLoad : public VethTopology, public testing::WithParamInterface<load_case> {};

// reflectord is stopped: every reply reflect-bench gets is the fast path's,
// and each one it counts as answered was counted there too.
TEST_P(UnderLoad, EveryReplyMatchesAndIsCounted) {
  const load_case& c = GetParam();
  attach();
  std::vector<std::string> args{c.family.server, "--json"};
  args.insert(args.end(), c.args.begin(), c.args.end());
  const tool_result run = on_client(REFLECT_BENCH_PATH, args, std::chrono::seconds(30));
  ASSERT_TRUE(run.exited_with(0)) << run.describe();
  const long long offered = json_integer(run.out, "offered");
  const long long answered = json_integer(run.out, "answered");
  EXPECT_EQ(json_integer(run.out, "mismatched"), 0) << run.out;
  EXPECT_EQ(json_integer(run.out, "duplicated"), 0) << run.out;
  ASSERT_GT(answered, 0) << run.out;

  const fast_path_counts counted = counts();
  if (c.open_loop) {
    EXPECT_EQ(answered, offered) << run.out;
    EXPECT_EQ(counted.at("answered", c.family.name), offered) << counted.json();
  } else {
    EXPECT_GE(counted.at("answered", c.family.name), answered) << counted.json() << run.out;
    EXPECT_LE(counted.at("answered", c.family.name), offered) << counted.json() << run.out;
  }
  EXPECT_EQ(counted.at("answered", other_family(c.family)), 0) << counted.json();
  expect_nothing_unwanted(counted);
}

INSTANTIATE_TEST_SUITE_P(Modes, UnderLoad, testing::ValuesIn(load_cases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace reflector::test
