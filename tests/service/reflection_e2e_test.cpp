#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/service/serving_service.h"
#include "tests/support/reflection_exchange.h"
#include "tests/support/udp_socket.h"

namespace reflector::test {
namespace {

using namespace std::chrono_literals;
using bytes = std::vector<std::uint8_t>;

bytes slice(const bytes& b, std::size_t from, std::size_t to) {
  return bytes(b.begin() + static_cast<std::ptrdiff_t>(from),
               b.begin() + static_cast<std::ptrdiff_t>(std::min(to, b.size())));
}

using Reflection = ServingService;

TEST_F(Reflection, ClientsOfBothFamiliesGetTheirOwnEndpointBack) {
  for (const char* client_address : {"127.0.0.1", "192.0.2.1", "::1", "2001:db8::2"}) {
    SCOPED_TRACE(client_address);
    const udp_socket client(client_address);
    const bytes request = make_request(QUERY, 1);
    client.send_to(client_address, service_port, request);
    const auto reply = client.receive(5s);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->from_port, service_port);
    EXPECT_EQ(reply->bytes.size(), request.size());
    EXPECT_EQ(read_type(reply->bytes.data()), QUERY_REPLY);
    EXPECT_EQ(slice(reply->bytes, 0, 20), slice(request, 0, 20));
    EXPECT_EQ(endpoint_in(reply->bytes).address, address_of(client_address));
    EXPECT_EQ(endpoint_in(reply->bytes).port, client.local_port());
  }
}

// A reply is as long as its request up to the slot size; a longer request is
// answered from its first longest_request bytes.
TEST_F(Reflection, ReplyLengthFollowsTheRequestUpToTheSlotSize) {
  const udp_socket client("192.0.2.1");
  for (const std::size_t length : std::initializer_list<std::size_t>{
           40, 41, 48, 600, longest_request, longest_request + 1, 1500, 4000}) {
    SCOPED_TRACE(length);
    const bytes request = make_request(QUERY, static_cast<std::uint32_t>(length), length);
    client.send_to("192.0.2.1", service_port, request);
    const auto reply = client.receive(5s);
    ASSERT_TRUE(reply.has_value());
    const std::size_t expected = std::min(length, longest_request);
    ASSERT_EQ(reply->bytes.size(), expected);
    EXPECT_EQ(tag_of(reply->bytes), length);
    EXPECT_EQ(slice(reply->bytes, 40, expected), slice(request, 40, expected));
  }
}

// The invalid datagrams go first and a valid QUERY last, from one socket, so
// they meet one worker in that order: if the QUERY's reply is the only
// datagram that comes back, the others were handled and dropped.
TEST_F(Reflection, InvalidDatagramsGetNoAnswer) {
  bytes short_query = make_request(QUERY, 1, 39);
  bytes wrong_magic = make_request(QUERY, 2);
  wrong_magic[7] ^= 0x01;
  bytes reversed_magic = make_request(QUERY, 3);
  std::reverse(reversed_magic.begin() + 4, reversed_magic.begin() + 8);
  const bytes invalid[] = {short_query,
                           wrong_magic,
                           reversed_magic,
                           make_request(QUERY_REPLY, 4),
                           make_request(FORWARD_REPLY, 5),
                           make_request(0x0003, 6),
                           make_request(0x0000, 7),
                           make_request(0x0100, 8),
                           bytes{}};
  const udp_socket client("2001:db8::2");
  for (const bytes& datagram : invalid) client.send_to("2001:db8::2", service_port, datagram);
  client.send_to("2001:db8::2", service_port, make_request(QUERY, 99));

  const auto reply = client.receive(5s);
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(tag_of(reply->bytes), 99u);
  EXPECT_FALSE(client.receive(100ms).has_value());
}

// Several clients at once, each asking in turn: every answer goes to the
// client that asked, carrying that client's endpoint and its own tag.
TEST_F(Reflection, ManyClientsAtOnceEachGetTheirOwnAnswers) {
  constexpr int clients = 8;
  constexpr int queries_per_client = 25;
  const char* addresses[] = {"127.0.0.1", "192.0.2.1", "::1", "2001:db8::2"};
  std::atomic<int> correct{0};
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      const char* address = addresses[c % 4];
      const udp_socket client(address);
      for (int q = 0; q < queries_per_client; ++q) {
        const auto tag = static_cast<std::uint32_t>(c << 16 | q);
        client.send_to(address, service_port, make_request(QUERY, tag));
        const auto reply = client.receive(5s);
        if (!reply) return;
        const carried_endpoint seen = endpoint_in(reply->bytes);
        if (tag_of(reply->bytes) == tag && seen.address == address_of(address) &&
            seen.port == client.local_port()) {
          ++correct;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(correct.load(), clients * queries_per_client);
}

}  // namespace
}  // namespace reflector::test
