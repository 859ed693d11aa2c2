// The service allocates nothing on the path of a datagram: with every heap
// call of the process counted by a preloaded shim, serving 100,000
// datagrams of every kind leaves the counts where start-up left them.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <thread>

#include <gtest/gtest.h>

#include "tests/reliability/allocation_counters.h"
#include "tests/reliability/load_generator.h"
#include "tests/support/network_namespace.h"
#include "tests/support/proc_readings.h"
#include "tests/support/service_instance.h"
#include "tests/support/usable_cpus.h"

namespace reflector::test {
namespace {

struct counts {
  std::uint64_t allocations = 0;
  std::uint64_t releases = 0;
  bool operator==(const counts&) const = default;
};

// The shared file the shim counts into, mapped here as well.
class counter_file {
 public:
  counter_file()
      : path_(std::filesystem::temp_directory_path() / ("reflector-allocations-" + std::to_string(getpid()))) {
    const int fd = open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd == -1 || ftruncate(fd, sizeof(allocation_counters)) == -1) throw std::runtime_error("counter file");
    void* shared = mmap(nullptr, sizeof(allocation_counters), PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (shared == MAP_FAILED) throw std::runtime_error("counter mapping");
    counters_ = static_cast<const allocation_counters*>(shared);
  }
  ~counter_file() {
    munmap(const_cast<allocation_counters*>(counters_), sizeof(allocation_counters));
    std::filesystem::remove(path_);
  }
  std::string variable() const { return std::string(allocation_counter_file_variable) + "=" + path_; }
  counts read() const { return {counters_->allocations.load(), counters_->releases.load()}; }

  // The counts once they have not moved for `quiet`, or after `limit`.
  counts steady(std::chrono::milliseconds quiet, std::chrono::milliseconds limit) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    counts last = read();
    auto last_change = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      const counts now = read();
      if (!(now == last)) {
        last = now;
        last_change = std::chrono::steady_clock::now();
      } else if (std::chrono::steady_clock::now() - last_change >= quiet) {
        break;
      }
    }
    return last;
  }

 private:
  std::string path_;
  const allocation_counters* counters_;
};

TEST(Allocation, ServingEveryKindOfDatagramAllocatesNothing) {
  REFLECTOR_ENTER_NETNS_OR_SKIP({"192.0.2.1", "2001:db8::2", "198.51.100.1"});
  const counter_file file;
  service_instance service({.environment = {"LD_PRELOAD=" REFLECTOR_ALLOCATION_SHIM, file.variable()}});
  ASSERT_TRUE(service.wait_until_answering());
  load_generator generator(16);

  // Start-up is over when every worker has its thread and the counts rest.
  const std::size_t expected_threads = 1 + usable_cpus().size();
  generator.run({.kinds = every_kind(), .max_datagrams = 2000, .lockstep = true});
  ASSERT_EQ(allowed_cpus_by_thread(service.pid()).size(), expected_threads);
  const counts after_start_up = file.steady(std::chrono::milliseconds(500), std::chrono::seconds(10));
  ASSERT_GT(after_start_up.allocations, 0u) << "the shim counted nothing: is it loaded?";

  // Each round a client sends one datagram of every kind and a closing QUERY.
  constexpr std::uint64_t per_kind = 100'000;
  const phase_result served = generator.run({.kinds = every_kind(),
                                             .duration = std::chrono::seconds(120),
                                             .max_datagrams = per_kind * (kind_count + 1) + 20'000,
                                             .burst_per_client = 10,
                                             .lockstep = true});
  const counts after_serving = file.steady(std::chrono::milliseconds(300), std::chrono::seconds(5));
  std::cout << "served: " << served.summary() << "\n"
            << "allocations after start-up " << after_start_up.allocations << ", after serving "
            << after_serving.allocations << "; releases " << after_start_up.releases << ", "
            << after_serving.releases << "\n";

  for (std::size_t k = 0; k < kind_count; ++k) {
    EXPECT_GE(served.sent[k], per_kind) << kind_name(static_cast<datagram_kind>(k));
  }
  EXPECT_EQ(served.lost(), 0u);
  EXPECT_EQ(served.wrong_datagrams + served.duplicate_replies + served.refused_target_arrivals, 0u)
      << served.first_problem;
  EXPECT_EQ(after_serving.allocations, after_start_up.allocations);
  EXPECT_EQ(after_serving.releases, after_start_up.releases);

  EXPECT_TRUE(service.stop_cleanly());
}

}  // namespace
}  // namespace reflector::test
