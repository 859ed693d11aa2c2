// forward_target_allowed against the prefix-table model: on the boundary
// addresses of every refused range and their neighbours, and on millions of
// random and near-boundary targets.
#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "protocol/forward_target_filter.h"
#include "tests/properties/forward_target_model.h"

namespace reflector::test {
namespace {

std::string describe(std::uint16_t port, const address_bytes16& address) {
  char text[INET6_ADDRSTRLEN];
  inet_ntop(AF_INET6, address.data(), text, sizeof text);
  std::ostringstream out;
  out << '[' << text << "]:" << port;
  return out.str();
}

// Counts disagreements and keeps the first few for the failure message.
class agreement {
 public:
  void check(std::uint16_t port, const address_bytes16& address) {
    ++checked_;
    const bool expected = model_allows(port, address);
    if (forward_target_allowed(port, address) == expected) return;
    if (disagreements_.size() < 10) {
      disagreements_.push_back(describe(port, address) +
                               (expected ? " model allows" : " model refuses"));
    }
    ++disagreement_count_;
  }
  std::size_t checked() const { return checked_; }
  std::size_t disagreement_count() const { return disagreement_count_; }
  std::string report() const {
    std::ostringstream out;
    for (const auto& line : disagreements_) out << "  " << line << "\n";
    return out.str();
  }

 private:
  std::size_t checked_ = 0;
  std::size_t disagreement_count_ = 0;
  std::vector<std::string> disagreements_;
};

// The address as a 128-bit big-endian number, plus delta, wrapping.
address_bytes16 offset(address_bytes16 address, int delta) {
  const bool up = delta > 0;
  for (int step = 0; step < (up ? delta : -delta); ++step) {
    for (int i = 15; i >= 0; --i) {
      if (up ? address[i]++ != 0xff : address[i]-- != 0x00) break;
    }
  }
  return address;
}

address_bytes16 with_host_bits(const address_prefix& prefix, bool set) {
  address_bytes16 address = prefix.bytes;
  for (unsigned bit = prefix.length; bit < 128; ++bit) {
    const std::uint8_t mask = static_cast<std::uint8_t>(0x80u >> (bit % 8));
    address[bit / 8] = set ? (address[bit / 8] | mask) : (address[bit / 8] & ~mask);
  }
  return address;
}

const std::uint16_t interesting_ports[] = {0, 1, 1023, 1024, 1025, 1213, 5000, 65535};

void check_all_ports(agreement& a, const address_bytes16& address) {
  for (std::uint16_t port : interesting_ports) a.check(port, address);
}

// First and last address of each range, two steps either side of each, and
// every single-bit flip of those: the places where an off-by-one or a wrong
// mask shows.
TEST(FilterModel, AgreesOnEveryRangeBoundary) {
  agreement a;
  for (const address_prefix& prefix : refused_prefixes()) {
    for (const address_bytes16& edge : {with_host_bits(prefix, false), with_host_bits(prefix, true)}) {
      for (int delta = -2; delta <= 2; ++delta) {
        const address_bytes16 near = offset(edge, delta);
        check_all_ports(a, near);
        for (int bit = 0; bit < 128; ++bit) {
          address_bytes16 flipped = near;
          flipped[bit / 8] ^= static_cast<std::uint8_t>(0x80u >> (bit % 8));
          check_all_ports(a, flipped);
        }
      }
    }
  }
  EXPECT_EQ(a.disagreement_count(), 0u) << "of " << a.checked() << " targets:\n" << a.report();
}

// Random targets drawn from shapes that reach different rules: anything at
// all, IPv4-mapped, inside or one bit outside a refused prefix, mostly-zero
// addresses near :: and ::1, and the fc00-ffff corner.
class random_targets {
 public:
  explicit random_targets(std::uint64_t seed) : engine_(seed) {}

  address_bytes16 any() {
    address_bytes16 a;
    for (auto& b : a) b = byte();
    return a;
  }
  address_bytes16 mapped() {
    address_bytes16 a{};
    a[10] = a[11] = 0xff;
    for (int i = 12; i < 16; ++i) a[i] = byte();
    return a;
  }
  address_bytes16 near_prefix() {
    const auto& table = refused_prefixes();
    const address_prefix& prefix = table[engine_() % table.size()];
    address_bytes16 a = any();
    for (unsigned bit = 0; bit < prefix.length; ++bit) {
      const std::uint8_t mask = static_cast<std::uint8_t>(0x80u >> (bit % 8));
      a[bit / 8] = (a[bit / 8] & ~mask) | (prefix.bytes[bit / 8] & mask);
    }
    if (engine_() % 2 == 0) {
      const unsigned bit = static_cast<unsigned>(engine_() % std::min(128u, prefix.length + 8));
      a[bit / 8] ^= static_cast<std::uint8_t>(0x80u >> (bit % 8));
    }
    return a;
  }
  address_bytes16 mostly_zero() {
    address_bytes16 a{};
    for (auto& b : a) b = engine_() % 10 == 0 ? byte() : 0;
    if (engine_() % 4 == 0) a[10] = a[11] = 0xff;
    return a;
  }
  address_bytes16 high_corner() {
    address_bytes16 a = any();
    a[0] = static_cast<std::uint8_t>(0xfb + engine_() % 5);
    return a;
  }
  std::uint16_t port() {
    if (engine_() % 2 == 0) return static_cast<std::uint16_t>(engine_());
    return static_cast<std::uint16_t>(1020 + engine_() % 8);
  }

 private:
  std::uint8_t byte() { return static_cast<std::uint8_t>(engine_()); }
  std::mt19937_64 engine_;
};

TEST(FilterModel, AgreesOnMillionsOfRandomTargets) {
  constexpr std::uint64_t seed = 0x5eed1213;
  constexpr int per_shape = 600'000;
  random_targets targets(seed);
  agreement a;
  for (int i = 0; i < per_shape; ++i) {
    a.check(targets.port(), targets.any());
    a.check(targets.port(), targets.mapped());
    a.check(targets.port(), targets.near_prefix());
    a.check(targets.port(), targets.mostly_zero());
    a.check(targets.port(), targets.high_corner());
  }
  EXPECT_EQ(a.disagreement_count(), 0u)
      << "seed " << seed << ", of " << a.checked() << " targets:\n" << a.report();
}

}  // namespace
}  // namespace reflector::test
