// Fuzz target: handle_message on any datagram, any length and any slot
// address and port, checking the handler's whole contract on every input.
//
// Input: 16 bytes slot address, 2 bytes slot port (network order), then the
// datagram, cut to the longest request a slot holds as the receive would cut
// it.
//
// Under AddressSanitizer the bytes the handler must not touch are poisoned:
// bytes 0-3 and 40 onwards, and the whole datagram when it is shorter than a
// header. The buffer is its own heap block of exactly the datagram's length,
// so nothing past the end is addressable either.
//
// The sanitizer's header turns its macros into no-ops in a build without
// AddressSanitizer; a system whose compiler ships no such header (the
// corpus-replay build needs none) gets the same no-ops here.
#if __has_include(<sanitizer/asan_interface.h>)
#include <sanitizer/asan_interface.h>
#else
#define ASAN_POISON_MEMORY_REGION(p, n) ((void)(p), (void)(n))
#define ASAN_UNPOISON_MEMORY_REGION(p, n) ((void)(p), (void)(n))
#endif

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "protocol/reflection.h"

namespace {

constexpr std::size_t header_bytes = 40;
constexpr std::uint8_t magic_bytes[4] = {0x12, 0x13, 0x10, 0x17};

void require(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "handler contract broken: %s\n", what);
  std::abort();
}

struct endpoint {
  std::array<std::uint8_t, 16> address{};
  std::array<std::uint8_t, 2> port{};
  bool operator==(const endpoint&) const = default;
};

// Unmasks bytes 22-39 with the message key, bytes 4-19; written out here
// rather than taken from the library so the check does not trust it.
endpoint decoded(const std::uint8_t* message) {
  endpoint e;
  for (int i = 0; i < 2; ++i) e.port[i] = message[22 + i] ^ message[4 + i];
  for (int i = 0; i < 16; ++i) e.address[i] = message[24 + i] ^ message[4 + i];
  return e;
}

std::uint16_t host_port(const endpoint& e) {
  return static_cast<std::uint16_t>(e.port[0] << 8 | e.port[1]);
}

// Heap storage whose byte 4 starts an 8-byte granule, so that the message's
// bytes 0-3 and 40 onwards are granule tails, which ASan can poison.
class guarded_message {
 public:
  explicit guarded_message(const std::vector<std::uint8_t>& bytes)
      : storage_(new std::uint8_t[4 + bytes.size()]), size_(bytes.size()) {
    std::copy(bytes.begin(), bytes.end(), data());
    if (size_ < header_bytes) {
      ASAN_POISON_MEMORY_REGION(data(), size_);
    } else {
      ASAN_POISON_MEMORY_REGION(data(), 4);
      ASAN_POISON_MEMORY_REGION(data() + header_bytes, size_ - header_bytes);
    }
  }
  ~guarded_message() { ASAN_UNPOISON_MEMORY_REGION(data(), size_); }
  std::uint8_t* data() { return storage_.get() + 4; }
  std::vector<std::uint8_t> contents() {
    ASAN_UNPOISON_MEMORY_REGION(data(), size_);
    return {data(), data() + size_};
  }

 private:
  std::unique_ptr<std::uint8_t[]> storage_;
  std::size_t size_;
};

bool is_request(const std::vector<std::uint8_t>& m, std::uint8_t type_low) {
  return m.size() >= header_bytes && std::equal(magic_bytes, magic_bytes + 4, m.begin() + 4) &&
         m[20] == 0x00 && m[21] == type_low;
}

bool same_outside_20_to_39(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if ((i < 20 || i >= header_bytes) && a[i] != b[i]) return false;
  }
  return true;
}

void check_query(const std::vector<std::uint8_t>& reply, const endpoint& sender,
                 const endpoint& slot_after, bool drop) {
  require(!drop, "a QUERY is always answered");
  require(reply[20] == 0x01 && reply[21] == 0x01, "QUERY becomes QUERY_REPLY");
  require(decoded(reply.data()) == sender, "QUERY_REPLY carries the sender");
  require(slot_after == sender, "a QUERY leaves the slot's endpoint alone");
}

void check_forward(const std::vector<std::uint8_t>& request, const std::vector<std::uint8_t>& reply,
                   const endpoint& sender, const endpoint& slot_after, bool drop) {
  const endpoint target = decoded(request.data());
  require(reply[20] == 0x01 && reply[21] == 0x02, "FORWARD becomes FORWARD_REPLY");
  require(decoded(reply.data()) == sender, "FORWARD_REPLY carries the requester");
  require(slot_after == target, "a FORWARD leaves the target in the slot");
  require(drop == !reflector::forward_target_allowed(host_port(target), target.address),
          "drop is the filter's verdict on the target");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  endpoint sender;
  const std::size_t taken_address = std::min<std::size_t>(size, 16);
  std::copy(data, data + taken_address, sender.address.begin());
  const std::size_t taken_port = std::min<std::size_t>(size - taken_address, 2);
  std::copy(data + taken_address, data + taken_address + taken_port, sender.port.begin());
  const std::size_t offset = taken_address + taken_port;
  const std::size_t datagram_size = std::min(size - offset, reflector::longest_request);
  const std::vector<std::uint8_t> request(data + offset, data + offset + datagram_size);

  guarded_message message(request);
  endpoint slot = sender;
  std::uint16_t port;
  std::memcpy(&port, slot.port.data(), 2);
  const std::uint32_t length = static_cast<std::uint32_t>(datagram_size);
  bool drop = true;
  reflector::handle_message(slot.address, port, message.data(), length, drop);
  std::memcpy(slot.port.data(), &port, 2);
  const std::vector<std::uint8_t> reply = message.contents();

  require(length == datagram_size, "length unchanged");
  require(same_outside_20_to_39(request, reply), "no byte outside 20-39 changed");
  if (is_request(request, 0x01)) {
    check_query(reply, sender, slot, drop);
  } else if (is_request(request, 0x02)) {
    check_forward(request, reply, sender, slot, drop);
  } else {
    require(reply == request, "an invalid datagram is left untouched");
    require(slot == sender, "an invalid datagram leaves the slot's endpoint alone");
    require(drop, "an invalid datagram is dropped");
  }
  return 0;
}
