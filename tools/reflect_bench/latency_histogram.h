// Latencies in log-linear buckets: exact below 64 ns, then 32 buckets per
// power of two, so any percentile is within about 3% of the true value and
// memory stays fixed however many replies come in.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace reflector::tools {

class latency_histogram {
 public:
  void record(std::uint64_t nanoseconds);

  std::uint64_t count() const { return count_; }
  std::uint64_t max() const { return max_; }
  // The latency below which the fraction q (0..1) of the samples lie: the
  // upper edge of the bucket that holds that sample; 0 when empty.
  std::uint64_t percentile(double q) const;

  // One line per power of two from the lowest to the highest sample: range,
  // count, cumulative share and a bar up to width characters.
  std::string draw(std::size_t width = 50) const;

 private:
  static constexpr std::size_t linear_limit = 64;
  static constexpr std::size_t sub_buckets = 32;
  static constexpr std::size_t octaves = 58;  // 2^6 .. 2^64
  static constexpr std::size_t bucket_count = linear_limit + octaves * sub_buckets;

  static std::size_t bucket_of(std::uint64_t nanoseconds);
  static std::uint64_t upper_edge(std::size_t bucket);

  std::array<std::uint64_t, bucket_count> buckets_{};
  std::uint64_t count_ = 0;
  std::uint64_t max_ = 0;
};

// "850 ns", "45.1 us", "3.20 ms", "1.50 s"
std::string duration_text(std::uint64_t nanoseconds);

}  // namespace reflector::tools
