// Cost of handle_message per datagram, for each kind of datagram, and of
// forward_target_allowed alone. Each iteration restores the request header
// (a 40-byte copy, measured on its own as the baseline) so every call sees
// a fresh request.
#include <benchmark/benchmark.h>

#include <array>
#include <cstring>

#include "protocol/reflection.h"
#include "protocol/request.h"

namespace reflector {
namespace {

using address16 = std::array<std::uint8_t, 16>;

constexpr address16 mapped(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
  return {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, a, b, c, d};
}

constexpr address16 documentation_v6{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0,
                                     0,    0,    0,    0,    0, 0, 0, 1};

struct request_slot {
  std::array<std::uint8_t, longest_request> buffer{};
  std::array<std::uint8_t, header_size> pristine{};
  address16 address = mapped(192, 0, 2, 1);
  std::uint16_t port = 0x409c;  // 40000 in network order on little-endian hosts
  std::uint32_t length = header_size;
  bool drop = true;

  request_slot(std::uint16_t type, const wire_endpoint& target) {
    request_key key{};
    for (std::size_t i = 0; i < transaction_id_size; ++i) {
      key.transaction_id[i] = static_cast<std::uint8_t>(i + 1);
    }
    write_request(pristine.data(), type, key, target);
  }

  void reset() {
    std::memcpy(buffer.data(), pristine.data(), pristine.size());
    address = mapped(192, 0, 2, 1);
    drop = true;
  }
};

void run_handler(benchmark::State& state, request_slot slot) {
  for (auto _ : state) {
    slot.reset();
    handle_message(slot.address, slot.port, slot.buffer.data(), slot.length, slot.drop);
    benchmark::DoNotOptimize(slot.buffer.data());
    benchmark::DoNotOptimize(slot.drop);
    benchmark::ClobberMemory();
  }
}

void BM_Baseline_ResetOnly(benchmark::State& state) {
  request_slot slot(QUERY, {});
  for (auto _ : state) {
    slot.reset();
    benchmark::DoNotOptimize(slot.buffer.data());
    benchmark::ClobberMemory();
  }
}

void BM_HandleQuery(benchmark::State& state) { run_handler(state, request_slot(QUERY, {})); }

void BM_HandleForwardAccepted(benchmark::State& state) {
  run_handler(state, request_slot(FORWARD, {port_bytes(5000), documentation_v6}));
}

void BM_HandleForwardRefused(benchmark::State& state) {
  run_handler(state, request_slot(FORWARD, {port_bytes(5000), mapped(10, 0, 0, 1)}));
}

void BM_HandleInvalid(benchmark::State& state) {
  request_slot slot(QUERY_REPLY, {});
  run_handler(state, slot);
}

void BM_FilterOnly(benchmark::State& state) {
  const std::array<address16, 4> targets{documentation_v6, mapped(10, 0, 0, 1),
                                         mapped(203, 0, 113, 5), address16{0xfe, 0x80}};
  std::size_t i = 0;
  for (auto _ : state) {
    const address16& target = targets[i++ & 3];
    benchmark::DoNotOptimize(target);
    bool allowed = forward_target_allowed(5000, target);
    benchmark::DoNotOptimize(allowed);
  }
}

BENCHMARK(BM_Baseline_ResetOnly);
BENCHMARK(BM_HandleQuery);
BENCHMARK(BM_HandleForwardAccepted);
BENCHMARK(BM_HandleForwardRefused);
BENCHMARK(BM_HandleInvalid);
BENCHMARK(BM_FilterOnly);

}  // namespace
}  // namespace reflector
