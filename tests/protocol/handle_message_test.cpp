#include <gtest/gtest.h>

#include <vector>

#include "protocol/reflection.h"
#include "tests/protocol/message_builder.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define REFLECTOR_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define REFLECTOR_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define REFLECTOR_POISON(p, n) ((void)(p), (void)(n))
#define REFLECTOR_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace reflector {
namespace {

using test::address_of;
using test::forward_request;
using test::network_port;
using test::request;
using test::slot;

using bytes = std::vector<std::uint8_t>;

// The longest request a slot holds, as the handler's length parameter.
constexpr auto longest = static_cast<std::uint32_t>(longest_request);

bytes header_of(const slot& s) { return bytes(s.buffer.begin(), s.buffer.begin() + header_size); }

// Worked example: a 40-byte QUERY from ::ffff:192.0.2.1 port 0x9c40.
TEST(Query, WorkedExampleByteForByte) {
  slot s = request(QUERY, "192.0.2.1", 0x9c40);
  s.handle();
  const bytes expected{0xaa, 0xbb, 0xcc, 0xdd, 0x12, 0x13, 0x10, 0x17, 0x01, 0x02,
                       0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0a, 0x0b, 0x0c,
                       0x01, 0x01, 0x8e, 0x53, 0x12, 0x13, 0x10, 0x17, 0x01, 0x02,
                       0x03, 0x04, 0x05, 0x06, 0xf8, 0xf7, 0xc9, 0x0a, 0x09, 0x0d};
  EXPECT_EQ(header_of(s), expected);
  EXPECT_FALSE(s.drop);
  EXPECT_EQ(s.address, address_of("192.0.2.1"));
  EXPECT_EQ(s.port, network_port(0x9c40));
  EXPECT_EQ(s.length, 40u);
}

// Worked example: the same requester asks for [2001:db8::1]:5000.
TEST(Forward, WorkedExampleByteForByte) {
  slot s = forward_request("192.0.2.1", 0x9c40, "2001:db8::1", 5000);
  const bytes request_header{0xaa, 0xbb, 0xcc, 0xdd, 0x12, 0x13, 0x10, 0x17, 0x01, 0x02,
                             0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0a, 0x0b, 0x0c,
                             0x00, 0x02, 0x01, 0x9b, 0x32, 0x12, 0x1d, 0xaf, 0x01, 0x02,
                             0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0a, 0x0b, 0x0d};
  ASSERT_EQ(header_of(s), request_header);
  s.handle();
  const bytes reply_header{0xaa, 0xbb, 0xcc, 0xdd, 0x12, 0x13, 0x10, 0x17, 0x01, 0x02,
                           0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0a, 0x0b, 0x0c,
                           0x01, 0x02, 0x8e, 0x53, 0x12, 0x13, 0x10, 0x17, 0x01, 0x02,
                           0x03, 0x04, 0x05, 0x06, 0xf8, 0xf7, 0xc9, 0x0a, 0x09, 0x0d};
  EXPECT_EQ(header_of(s), reply_header);
  EXPECT_FALSE(s.drop);
  EXPECT_EQ(s.address, address_of("2001:db8::1"));
  EXPECT_EQ(s.port, network_port(5000));
}

// Datagrams that must be dropped untouched: the whole slot stays as it was.
struct invalid_case {
  const char* name;
  std::uint32_t length;
  void (*spoil)(std::vector<std::uint8_t>&);
};

void PrintTo(const invalid_case& c, std::ostream* os) { *os << c.name; }

void set_type(std::vector<std::uint8_t>& b, std::uint16_t type) { write_type(b.data(), type); }

const invalid_case invalid_cases[] = {
    {"length 39", 39, [](bytes&) {}},
    {"length 1", 1, [](bytes&) {}},
    {"length 0", 0, [](bytes&) {}},
    {"magic reversed", 40, [](bytes& b) { b[4] = 0x17, b[5] = 0x10, b[6] = 0x13, b[7] = 0x12; }},
    {"magic zero", 40, [](bytes& b) { b[4] = b[5] = b[6] = b[7] = 0; }},
    {"type QUERY_REPLY", 40, [](bytes& b) { set_type(b, QUERY_REPLY); }},
    {"type FORWARD_REPLY", 40, [](bytes& b) { set_type(b, FORWARD_REPLY); }},
    {"type 00 00", 40, [](bytes& b) { set_type(b, 0x0000); }},
    {"type 00 03", 40, [](bytes& b) { set_type(b, 0x0003); }},
    {"type 01 00", 40, [](bytes& b) { set_type(b, 0x0100); }},
    {"type 02 00", 40, [](bytes& b) { set_type(b, 0x0200); }},
    {"type ff ff", longest, [](bytes& b) { set_type(b, 0xffff); }},
};

class Invalid : public testing::TestWithParam<invalid_case> {};

TEST_P(Invalid, LeavesTheSlotUntouchedAndDropSet) {
  const invalid_case& c = GetParam();
  for (std::uint16_t type : {QUERY, FORWARD}) {
    slot s = request(type, "2001:db8::5", 40000);
    s.length = c.length;
    c.spoil(s.buffer);
    const slot before = s;
    s.handle();
    EXPECT_EQ(s.buffer, before.buffer);
    EXPECT_EQ(s.address, before.address);
    EXPECT_EQ(s.port, before.port);
    EXPECT_EQ(s.length, before.length);
    EXPECT_TRUE(s.drop);

    // drop is not even written: a caller's false stays false.
    s.drop = false;
    s.handle();
    EXPECT_FALSE(s.drop);
  }
}

INSTANTIATE_TEST_SUITE_P(Datagrams, Invalid, testing::ValuesIn(invalid_cases));

TEST(Invalid, MagicOffByAnyBitIsDropped) {
  for (int bit = 0; bit < 32; ++bit) {
    slot s = request(QUERY, "192.0.2.1", 40000);
    s.buffer[magic_offset + bit / 8] ^= static_cast<std::uint8_t>(1 << (bit % 8));
    const bytes before = s.buffer;
    s.handle();
    EXPECT_TRUE(s.drop) << "bit " << bit;
    EXPECT_EQ(s.buffer, before) << "bit " << bit;
  }
}

// Too short a datagram is never looked at: the buffer may hold only the
// bytes received, or be no buffer at all.
TEST(Invalid, ShortDatagramReadsNoByte) {
  slot s = request(QUERY, "192.0.2.1", 40000);
  for (std::uint32_t length : {0u, 1u, 39u}) {
    s.length = length;
    handle_message(s.address, s.port, nullptr, s.length, s.drop);
    EXPECT_TRUE(s.drop);
    std::vector<std::uint8_t> exact(s.buffer.begin(), s.buffer.begin() + length);
    handle_message(s.address, s.port, exact.data(), s.length, s.drop);
    EXPECT_TRUE(s.drop);
  }
}

// Valid requests of every interesting length: only bytes 20-39 change, the
// length stays, and the reply decodes to the right endpoint.
class Lengths : public testing::TestWithParam<std::uint32_t> {};

TEST_P(Lengths, ReplyRewritesOnlyBytes20To39) {
  const std::uint32_t length = GetParam();
  for (std::uint16_t type : {QUERY, FORWARD}) {
    slot s = type == QUERY ? request(QUERY, "2001:db8::5", 40000)
                           : forward_request("2001:db8::5", 40000, "203.0.113.9", 7000);
    s.length = length;
    const bytes before = s.buffer;
    s.handle();
    EXPECT_EQ(s.length, length);
    EXPECT_FALSE(s.drop);
    EXPECT_TRUE(std::equal(before.begin(), before.begin() + 20, s.buffer.begin()));
    EXPECT_TRUE(std::equal(before.begin() + 40, before.end(), s.buffer.begin() + 40));
    EXPECT_EQ(read_type(s.buffer.data()), type == QUERY ? QUERY_REPLY : FORWARD_REPLY);
    const wire_endpoint carried = decode_endpoint(s.buffer.data());
    EXPECT_EQ(carried.address, address_of("2001:db8::5"));
    EXPECT_EQ(port_number(carried), 40000);
  }
}

INSTANTIATE_TEST_SUITE_P(Valid, Lengths, testing::Values(40u, 41u, 48u, longest - 1, longest));

// The handler must read nothing outside bytes 4-39 and write nothing
// outside 20-39. Under AddressSanitizer every other byte of the message is
// poisoned, so a stray access fails the test. Poisoning works on the tail of
// 8-byte granules, so the message starts 4 bytes into one: bytes 0-3 and
// 40 onwards are then both granule tails.
TEST(Contract, TouchesOnlyBytes4To39) {
  for (std::uint16_t type : {QUERY, FORWARD, QUERY_REPLY}) {
    slot s = type == FORWARD ? forward_request("192.0.2.1", 40000, "198.51.100.1", 7000)
                             : request(type, "192.0.2.1", 40000);
    alignas(8) std::uint8_t storage[4 + longest_request];
    std::uint8_t* message = storage + 4;
    std::copy(s.buffer.begin(), s.buffer.end(), message);
    const std::uint32_t length = longest;
    REFLECTOR_POISON(message, 4);
    REFLECTOR_POISON(message + 40, longest - 40);
    handle_message(s.address, s.port, message, length, s.drop);
    REFLECTOR_UNPOISON(message, longest);
    EXPECT_TRUE(std::equal(message, message + 20, s.buffer.begin()));
    EXPECT_TRUE(std::equal(message + 40, message + longest, s.buffer.begin() + 40));
  }
}

TEST(Query, OwnBytes22To39MakeNoDifference) {
  slot clean = request(QUERY, "2001:db8::5", 40000);
  slot noisy = clean;
  for (std::size_t i = xport_offset; i < header_size; ++i) noisy.buffer[i] = 0xee;
  clean.handle();
  noisy.handle();
  EXPECT_EQ(clean.buffer, noisy.buffer);
}

TEST(Query, TransactionIdChangesTheMaskNotTheAddress) {
  slot first = request(QUERY, "2001:db8::5", 40000);
  slot second = first;
  second.buffer[transaction_id_offset + 11] ^= 0xff;
  first.handle();
  second.handle();
  EXPECT_NE(header_of(first), header_of(second));
  EXPECT_EQ(decode_endpoint(first.buffer.data()), decode_endpoint(second.buffer.data()));
}

// The slot is rewritten whatever the verdict; only drop differs.
TEST(Forward, RefusedTargetStillRewritesTheSlot) {
  struct target_case {
    const char* address;
    std::uint16_t port;
  };
  for (const target_case t : {target_case{"127.0.0.1", 5000}, target_case{"::1", 5000},
                              target_case{"2001:db8::1", 1023}, target_case{"fe80::1", 9999}}) {
    slot s = forward_request("192.0.2.1", 40000, t.address, t.port);
    s.handle();
    EXPECT_TRUE(s.drop) << t.address;
    EXPECT_EQ(s.address, address_of(t.address));
    EXPECT_EQ(s.port, network_port(t.port));
    EXPECT_EQ(read_type(s.buffer.data()), FORWARD_REPLY);
    const wire_endpoint carried = decode_endpoint(s.buffer.data());
    EXPECT_EQ(carried.address, address_of("192.0.2.1"));
    EXPECT_EQ(port_number(carried), 40000);
  }
}

// Forwarding to oneself gives the QUERY_REPLY with only the type changed.
TEST(Forward, ToOwnEndpointDiffersFromQueryOnlyInType) {
  slot query = request(QUERY, "203.0.113.5", 40000);
  slot forward = forward_request("203.0.113.5", 40000, "203.0.113.5", 40000);
  query.handle();
  forward.handle();
  EXPECT_FALSE(forward.drop);
  for (std::size_t i = 0; i < query.buffer.size(); ++i) {
    if (i == type_offset) {
      EXPECT_EQ(forward.buffer[i], 0x01);
      EXPECT_EQ(query.buffer[i], 0x01);
    } else if (i == type_offset + 1) {
      EXPECT_EQ(forward.buffer[i], 0x02);
      EXPECT_EQ(query.buffer[i], 0x01);
    } else {
      ASSERT_EQ(forward.buffer[i], query.buffer[i]) << "byte " << i;
    }
  }
}

// Either family may name the other as target; only the target is judged.
TEST(Forward, CrossFamilyTargets) {
  slot v4_to_v6 = forward_request("192.0.2.1", 40000, "2001:db8::2", 6000);
  slot v6_to_v4 = forward_request("2001:db8::1", 40000, "198.51.100.2", 6000);
  slot from_loopback = forward_request("::1", 40000, "198.51.100.2", 6000);
  for (slot* s : {&v4_to_v6, &v6_to_v4, &from_loopback}) {
    s->handle();
    EXPECT_FALSE(s->drop);
  }
  EXPECT_EQ(v4_to_v6.address, address_of("2001:db8::2"));
  EXPECT_EQ(v6_to_v4.address, address_of("198.51.100.2"));
}

}  // namespace
}  // namespace reflector
