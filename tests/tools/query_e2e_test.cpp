// reflect query against the real service, and against a responder inside
// the test that answers with handle_message but may first send datagrams a
// client must not take for the answer.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "protocol/reflection.h"
#include "tests/support/network_namespace.h"
#include "tests/support/service_instance.h"
#include "tests/support/udp_socket.h"
#include "tests/tools/tool_run.h"

namespace reflector::test {
namespace {

using namespace std::chrono_literals;

const std::vector<std::string> namespace_addresses{"192.0.2.1", "192.0.2.9", "2001:db8::2"};

std::string bracketed(const std::string& address) {
  return address.find(':') == std::string::npos ? address : "[" + address + "]";
}

// "40000\n": a port from 1 to 65535 and the end of the line.
bool is_port_line(const std::string& text) {
  if (text.size() < 2 || text.back() != '\n' || text[0] == '0') return false;
  const std::string digits = text.substr(0, text.size() - 1);
  if (digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) return false;
  return std::stoul(digits) <= 65535;
}

class QueryService : public testing::TestWithParam<std::string> {};

TEST_P(QueryService, PrintsTheAddressTheServiceSaw) {
  REFLECTOR_ENTER_NETNS_OR_SKIP(namespace_addresses);
  service_instance service;
  ASSERT_TRUE(service.wait_until_answering(GetParam()));
  const tool_result text = run_tool(REFLECT_PATH, {"query", bracketed(GetParam())});
  ASSERT_TRUE(text.exited_with(0)) << text.describe();
  // On lo the client sends from the server's own address.
  const std::string expected_start = bracketed(GetParam()) + ":";
  ASSERT_EQ(text.out.rfind(expected_start, 0), 0u) << text.out;
  EXPECT_TRUE(is_port_line(text.out.substr(expected_start.size()))) << text.out;

  const tool_result json = run_tool(REFLECT_PATH, {"query", "--json", bracketed(GetParam())});
  ASSERT_TRUE(json.exited_with(0)) << json.describe();
  EXPECT_NE(json.out.find("\"address\":\"" + GetParam() + "\""), std::string::npos) << json.out;
  EXPECT_EQ(json.out.find('\n'), json.out.size() - 1) << "one line of JSON";
  EXPECT_TRUE(service.stop_cleanly());
}

INSTANTIATE_TEST_SUITE_P(Families, QueryService, testing::Values("192.0.2.1", "2001:db8::2"));

// The reply handle_message makes of a received QUERY.
std::vector<std::uint8_t> reply_to(const datagram& query) {
  std::vector<std::uint8_t> buffer = query.bytes;
  buffer.resize(longest_request);
  address16 address = query.from_address;
  const auto port_bytes_ = port_bytes(query.from_port);
  std::uint16_t port;
  std::memcpy(&port, port_bytes_.data(), 2);
  const auto length = static_cast<std::uint32_t>(query.bytes.size());
  bool drop = true;
  handle_message(address, port, buffer.data(), length, drop);
  buffer.resize(query.bytes.size());
  return buffer;
}

std::string endpoint_text_of(const std::vector<std::uint8_t>& reply) {
  const wire_endpoint carried = decode_endpoint(reply.data());
  char text[64];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u:%u", carried.address[12], carried.address[13],
                carried.address[14], carried.address[15], port_number(carried));
  return text;
}

// A reply that would print something else if the client took it.
std::vector<std::uint8_t> decoy_of(std::vector<std::uint8_t> reply) {
  encode_endpoint(reply.data(), wire_endpoint{port_bytes(4242), address_of("198.51.100.99")});
  return reply;
}

struct forgery {
  const char* name;
  std::vector<std::uint8_t> (*make)(std::vector<std::uint8_t>);
  const char* from_address;
  std::uint16_t from_port;
};

const forgery forgeries[] = {
    {"other_transaction_id", [](auto r) { r[transaction_id_offset + 11] ^= 1; return r; }, "192.0.2.1", 7000},
    {"other_prefix", [](auto r) { r[prefix_offset] ^= 0x80; return r; }, "192.0.2.1", 7000},
    {"forward_reply_type", [](auto r) { write_type(r.data(), FORWARD_REPLY); return r; }, "192.0.2.1", 7000},
    {"request_type", [](auto r) { write_type(r.data(), QUERY); return r; }, "192.0.2.1", 7000},
    {"longer", [](auto r) { r.push_back(0); return r; }, "192.0.2.1", 7000},
    {"shorter", [](auto r) { r.pop_back(); return r; }, "192.0.2.1", 7000},
    {"bad_magic", [](auto r) { r[magic_offset + 3] ^= 1; return r; }, "192.0.2.1", 7000},
    {"from_other_port", [](auto r) { return r; }, "192.0.2.1", 7001},
    {"from_other_address", [](auto r) { return r; }, "192.0.2.9", 7000},
};

class QueryReplyFilter : public testing::TestWithParam<forgery> {};

TEST_P(QueryReplyFilter, IgnoresWhatDoesNotAnswerTheRequest) {
  REFLECTOR_ENTER_NETNS_OR_SKIP(namespace_addresses);
  const udp_socket responder("192.0.2.1", 7000);
  tool_run client(REFLECT_PATH, {"query", "192.0.2.1:7000", "--timeout", "5", "--tries", "1"});
  const auto query = responder.receive(5s);
  ASSERT_TRUE(query.has_value());
  const std::vector<std::uint8_t> good = reply_to(*query);

  const forgery& f = GetParam();
  const std::string client_address = "192.0.2.1";
  if (std::string(f.from_address) == "192.0.2.1" && f.from_port == 7000) {
    responder.send_to(client_address, query->from_port, f.make(decoy_of(good)));
  } else {
    const udp_socket impostor(f.from_address, f.from_port);
    impostor.send_to(client_address, query->from_port, f.make(decoy_of(good)));
  }
  std::this_thread::sleep_for(50ms);  // let the forgery arrive first
  responder.send_to(client_address, query->from_port, good);

  const tool_result result = client.finish();
  ASSERT_TRUE(result.exited_with(0)) << result.describe();
  EXPECT_EQ(result.out, endpoint_text_of(good) + "\n");
  EXPECT_EQ(result.out, "192.0.2.1:" + std::to_string(query->from_port) + "\n");
}

INSTANTIATE_TEST_SUITE_P(Forgeries, QueryReplyFilter, testing::ValuesIn(forgeries),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(QueryRetry, ResendsTheSameRequestWithGrowingWaits) {
  REFLECTOR_ENTER_NETNS_OR_SKIP(namespace_addresses);
  const udp_socket responder("192.0.2.1", 7000);
  tool_run client(REFLECT_PATH, {"query", "192.0.2.1:7000", "--timeout", "0.1", "--tries", "3"});
  std::vector<datagram> queries;
  std::vector<std::chrono::steady_clock::time_point> arrivals;
  for (int i = 0; i < 3; ++i) {
    auto query = responder.receive(5s);
    ASSERT_TRUE(query.has_value()) << "try " << i + 1 << " never came";
    arrivals.push_back(std::chrono::steady_clock::now());
    queries.push_back(std::move(*query));
  }
  responder.send_to("192.0.2.1", queries.back().from_port, reply_to(queries.back()));
  const tool_result result = client.finish();
  ASSERT_TRUE(result.exited_with(0)) << result.describe();
  EXPECT_EQ(queries[0].bytes, queries[1].bytes);
  EXPECT_EQ(queries[1].bytes, queries[2].bytes);
  // Lower bounds only, and at half the configured waits: a loaded machine
  // may make any wait longer, and a late wake-up for one arrival shortens
  // the gap measured after it.
  EXPECT_GE(arrivals[1] - arrivals[0], 50ms);
  EXPECT_GE(arrivals[2] - arrivals[1], 100ms);
}

TEST(QueryRetry, DifferentRunsUseDifferentTransactionIds) {
  REFLECTOR_ENTER_NETNS_OR_SKIP(namespace_addresses);
  const udp_socket responder("192.0.2.1", 7000);
  std::vector<std::vector<std::uint8_t>> keys;
  for (int run = 0; run < 2; ++run) {
    tool_run client(REFLECT_PATH, {"query", "192.0.2.1:7000", "--timeout", "0.05", "--tries", "1"});
    const auto query = responder.receive(5s);
    ASSERT_TRUE(query.has_value());
    keys.emplace_back(query->bytes.begin(), query->bytes.begin() + 20);
    client.finish();
  }
  EXPECT_NE(keys[0], keys[1]);
}

TEST(QueryNoReply, FailsWithStatusTwoNamingTheServer) {
  REFLECTOR_ENTER_NETNS_OR_SKIP(namespace_addresses);
  const udp_socket silent("192.0.2.1", 7000);
  const tool_result result =
      run_tool(REFLECT_PATH, {"query", "192.0.2.1:7000", "--timeout", "0.05", "--tries", "2"});
  EXPECT_TRUE(result.exited_with(2)) << result.describe();
  EXPECT_TRUE(result.out.empty());
  EXPECT_NE(result.err.find("192.0.2.1:7000"), std::string::npos) << result.err;
  EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << "one line";
}

}  // namespace
}  // namespace reflector::test
