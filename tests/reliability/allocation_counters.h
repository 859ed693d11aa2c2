// The counts the allocation-counting shim keeps, as laid out in the shared
// file through which a test reads them while the service runs.
#pragma once

#include <atomic>
#include <cstdint>

namespace reflector::test {

// Names the file (at least sizeof(allocation_counters) bytes, zero-filled)
// that the preloaded shim maps and counts into.
inline constexpr const char* allocation_counter_file_variable = "REFLECTOR_ALLOCATION_COUNTER_FILE";

struct allocation_counters {
  std::atomic<std::uint64_t> allocations;  // malloc, calloc, realloc, aligned forms, new
  std::atomic<std::uint64_t> releases;     // free of a non-null pointer, delete
};

// Two processes share the counters through a mapping, which is sound only
// for atomics that need no lock.
static_assert(std::atomic<std::uint64_t>::is_always_lock_free);

}  // namespace reflector::test
