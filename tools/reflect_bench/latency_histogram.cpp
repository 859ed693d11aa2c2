#include "tools/reflect_bench/latency_histogram.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <limits>

namespace reflector::tools {

std::size_t latency_histogram::bucket_of(std::uint64_t nanoseconds) {
  if (nanoseconds < linear_limit) return static_cast<std::size_t>(nanoseconds);
  const unsigned exponent = 63u - static_cast<unsigned>(std::countl_zero(nanoseconds));  // >= 6
  const std::uint64_t sub = (nanoseconds >> (exponent - 5)) & (sub_buckets - 1);
  return linear_limit + (exponent - 6) * sub_buckets + static_cast<std::size_t>(sub);
}

std::uint64_t latency_histogram::upper_edge(std::size_t bucket) {
  if (bucket < linear_limit) return bucket;
  const std::size_t octave = (bucket - linear_limit) / sub_buckets;
  const std::size_t sub = (bucket - linear_limit) % sub_buckets;
  const unsigned exponent = static_cast<unsigned>(octave) + 6;
  const std::uint64_t step = std::uint64_t{1} << (exponent - 5);
  const std::uint64_t low = (std::uint64_t{1} << exponent) + sub * step;
  const std::uint64_t most = std::numeric_limits<std::uint64_t>::max();
  return low > most - (step - 1) ? most : low + (step - 1);
}

void latency_histogram::record(std::uint64_t nanoseconds) {
  ++buckets_[bucket_of(nanoseconds)];
  ++count_;
  max_ = std::max(max_, nanoseconds);
}

std::uint64_t latency_histogram::percentile(double q) const {
  if (count_ == 0) return 0;
  const auto rank = static_cast<std::uint64_t>(std::ceil(std::clamp(q, 0.0, 1.0) * count_));
  std::uint64_t seen = 0;
  for (std::size_t bucket = 0; bucket < bucket_count; ++bucket) {
    seen += buckets_[bucket];
    if (seen >= std::max<std::uint64_t>(rank, 1)) return std::min(upper_edge(bucket), max_);
  }
  return max_;
}

std::string duration_text(std::uint64_t nanoseconds) {
  char text[32];
  const double ns = static_cast<double>(nanoseconds);
  if (ns < 1e3) {
    std::snprintf(text, sizeof text, "%.0f ns", ns);
  } else if (ns < 1e6) {
    std::snprintf(text, sizeof text, "%.1f us", ns / 1e3);
  } else if (ns < 1e9) {
    std::snprintf(text, sizeof text, "%.2f ms", ns / 1e6);
  } else {
    std::snprintf(text, sizeof text, "%.2f s", ns / 1e9);
  }
  return text;
}

std::string latency_histogram::draw(std::size_t width) const {
  if (count_ == 0) return "  (no replies)\n";
  // Regroup the fine buckets by power of two: one line each.
  std::array<std::uint64_t, 65> by_power{};
  for (std::size_t bucket = 0; bucket < bucket_count; ++bucket) {
    const std::uint64_t edge = upper_edge(bucket);
    by_power[edge == 0 ? 0 : 64 - std::countl_zero(edge)] += buckets_[bucket];
  }
  const auto first = static_cast<std::size_t>(
      std::find_if(by_power.begin(), by_power.end(), [](auto n) { return n != 0; }) -
      by_power.begin());
  const auto last = static_cast<std::size_t>(
      by_power.rend() - std::find_if(by_power.rbegin(), by_power.rend(),
                                     [](auto n) { return n != 0; }) - 1);
  const std::uint64_t tallest = *std::max_element(by_power.begin(), by_power.end());
  std::string out;
  std::uint64_t cumulative = 0;
  for (std::size_t power = first; power <= last; ++power) {
    cumulative += by_power[power];
    const std::uint64_t below = power == 0    ? 1
                                : power >= 64 ? std::numeric_limits<std::uint64_t>::max()
                                              : std::uint64_t{1} << power;
    const auto bar = static_cast<std::size_t>(
        std::llround(static_cast<double>(by_power[power]) * width / static_cast<double>(tallest)));
    char line[160];
    std::snprintf(line, sizeof line, "  < %-9s %12llu %7.3f%% |%s\n", duration_text(below).c_str(),
                  static_cast<unsigned long long>(by_power[power]),
                  100.0 * static_cast<double>(cumulative) / static_cast<double>(count_),
                  std::string(bar, '#').c_str());
    out += line;
  }
  return out;
}

}  // namespace reflector::tools
