// Preloaded into a service under test (LD_PRELOAD) to make one set-up call
// fail that the machine will not fail on its own:
//   REFLECTOR_FAIL_AFFINITY_CALL=N   the Nth sched_setaffinity call of the
//                                    process returns -1 with EINVAL
//   REFLECTOR_FAIL_THREAD_CREATE_CALL=N  the Nth pthread_create returns EAGAIN
//   REFLECTOR_FAULT_GATE=PATH        the failing call first waits (at most
//                                    20 s) until PATH exists, so that a test
//                                    can let earlier workers start serving
// Every other call goes through unchanged.
#include <dlfcn.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <ctime>

namespace {

long call_number_to_fail(const char* variable) {
  const char* value = std::getenv(variable);
  return value == nullptr ? 0 : std::strtol(value, nullptr, 10);
}

// True when this call is the one to fail; waits for the gate first.
bool fail_this_call(std::atomic<long>& calls, const char* variable) {
  const long number = calls.fetch_add(1) + 1;
  if (number != call_number_to_fail(variable)) return false;
  const char* gate = std::getenv("REFLECTOR_FAULT_GATE");
  for (int waited_ms = 0; gate != nullptr && access(gate, F_OK) != 0 && waited_ms < 20000; waited_ms += 10) {
    const timespec ten_ms{0, 10'000'000};
    nanosleep(&ten_ms, nullptr);
  }
  return true;
}

std::atomic<long> affinity_calls{0};
std::atomic<long> thread_create_calls{0};

}  // namespace

extern "C" {

int sched_setaffinity(pid_t pid, std::size_t size, const cpu_set_t* mask) {
  using function = int (*)(pid_t, std::size_t, const cpu_set_t*);
  static const auto real = reinterpret_cast<function>(dlsym(RTLD_NEXT, "sched_setaffinity"));
  if (fail_this_call(affinity_calls, "REFLECTOR_FAIL_AFFINITY_CALL")) {
    errno = EINVAL;
    return -1;
  }
  return real(pid, size, mask);
}

int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*start)(void*),
                   void* argument) {
  using function = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
  static const auto real = reinterpret_cast<function>(dlsym(RTLD_NEXT, "pthread_create"));
  if (fail_this_call(thread_create_calls, "REFLECTOR_FAIL_THREAD_CREATE_CALL")) return EAGAIN;
  return real(thread, attributes, start, argument);
}

}  // extern "C"
