// Preloaded into a service under test (LD_PRELOAD): counts every heap
// allocation and release the process makes, in every thread, without
// changing what the allocator does. The counts live in a file named by
// REFLECTOR_ALLOCATION_COUNTER_FILE, mapped shared, so a test can read them
// at any moment while the service runs.
//
// Allocations made before the file is mapped (by the dynamic loader and
// earlier constructors) go to a local copy, carried over when the mapping
// is made; at that point the process has a single thread.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <new>

#include "tests/reliability/allocation_counters.h"

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* pointer, std::size_t size);
void __libc_free(void* pointer);
void* __libc_memalign(std::size_t alignment, std::size_t size);
}

namespace {

using reflector::test::allocation_counters;

allocation_counters early_counters;
allocation_counters* counters = &early_counters;

void count_allocation() { counters->allocations.fetch_add(1, std::memory_order_relaxed); }
void count_release() { counters->releases.fetch_add(1, std::memory_order_relaxed); }

__attribute__((constructor)) void map_counter_file() {
  const char* path = std::getenv(reflector::test::allocation_counter_file_variable);
  if (path == nullptr) return;
  const int fd = open(path, O_RDWR | O_CLOEXEC);
  if (fd == -1) return;
  void* shared = mmap(nullptr, sizeof(allocation_counters), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (shared == MAP_FAILED) return;
  auto* mapped = static_cast<allocation_counters*>(shared);
  mapped->allocations.store(early_counters.allocations.load());
  mapped->releases.store(early_counters.releases.load());
  counters = mapped;
}

bool is_power_of_two(std::size_t n) { return n != 0 && (n & (n - 1)) == 0; }

}  // namespace

extern "C" {

void* malloc(std::size_t size) {
  count_allocation();
  return __libc_malloc(size);
}

void* calloc(std::size_t count, std::size_t size) {
  count_allocation();
  return __libc_calloc(count, size);
}

void* realloc(void* pointer, std::size_t size) {
  if (pointer != nullptr && size == 0) {
    count_release();
  } else {
    count_allocation();
  }
  return __libc_realloc(pointer, size);
}

void free(void* pointer) {
  if (pointer != nullptr) count_release();
  __libc_free(pointer);
}

void* memalign(std::size_t alignment, std::size_t size) {
  count_allocation();
  return __libc_memalign(alignment, size);
}

void* aligned_alloc(std::size_t alignment, std::size_t size) {
  count_allocation();
  return __libc_memalign(alignment, size);
}

int posix_memalign(void** result, std::size_t alignment, std::size_t size) {
  if (!is_power_of_two(alignment) || alignment % sizeof(void*) != 0) return EINVAL;
  count_allocation();
  void* pointer = __libc_memalign(alignment, size);
  if (pointer == nullptr) return ENOMEM;
  *result = pointer;
  return 0;
}

void* valloc(std::size_t size) {
  count_allocation();
  return __libc_memalign(static_cast<std::size_t>(sysconf(_SC_PAGESIZE)), size);
}

}  // extern "C"

// The plain forms of new and delete, so that C++ allocations are counted
// here even if the standard library's own new did not go through malloc.
// The aligned forms use aligned_alloc above.
void* operator new(std::size_t size) {
  if (void* pointer = malloc(size == 0 ? 1 : size)) return pointer;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return malloc(size == 0 ? 1 : size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return malloc(size == 0 ? 1 : size); }
void operator delete(void* pointer) noexcept { free(pointer); }
void operator delete[](void* pointer) noexcept { free(pointer); }
void operator delete(void* pointer, std::size_t) noexcept { free(pointer); }
void operator delete[](void* pointer, std::size_t) noexcept { free(pointer); }
void operator delete(void* pointer, const std::nothrow_t&) noexcept { free(pointer); }
void operator delete[](void* pointer, const std::nothrow_t&) noexcept { free(pointer); }
