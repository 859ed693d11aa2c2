// Frames drawn from a seeded generator, in shapes that reach every rule:
// mostly datagrams to the host with their fields drawn from near the edges,
// some with header bytes or length fields overwritten, some cut short, a
// few all noise. The same seed gives the same frames.
#pragma once

#include <cstdint>
#include <vector>

#include "tests/xdp/frame_builder.h"
#include "tests/xdp/test_host.h"

namespace reflector::xdp::test {

// xoshiro256**, seeded through splitmix64: fast enough to draw a million
// frames' worth of bytes, and the same sequence on every platform.
class random_bits {
 public:
  explicit random_bits(std::uint64_t seed);
  std::uint64_t operator()();

 private:
  std::uint64_t state_[4];
};

class random_frames {
 public:
  random_frames(std::uint64_t seed, const test_host& host);

  std::vector<std::uint8_t> next();

 private:
  udp_frame_spec datagram();
  address16 source_address(bool ipv6);
  address16 destination_address(bool ipv6);
  std::vector<std::uint8_t> payload();
  std::vector<std::uint8_t> trailer(std::size_t frame_size);
  void spoil(built_frame& frame);
  std::vector<std::uint8_t> noise();
  void fill(std::vector<std::uint8_t>& bytes);

  std::uint64_t below(std::uint64_t bound) { return engine_() % bound; }
  bool percent(unsigned chance) { return below(100) < chance; }
  std::uint8_t byte() { return static_cast<std::uint8_t>(engine_()); }
  std::uint16_t word() { return static_cast<std::uint16_t>(engine_()); }
  template <typename T>
  const T& pick(const std::vector<T>& from) { return from[below(from.size())]; }

  random_bits engine_;
  const test_host& host_;
  std::vector<address16> local_ipv4_;
  std::vector<address16> local_ipv6_;
  std::vector<address16> edge_sources_;
};

}  // namespace reflector::xdp::test
