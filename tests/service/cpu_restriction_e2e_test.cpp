// A service started with fewer CPUs than the machine has (taskset,
// systemd's CPUAffinity= or AllowedCPUs=, a container's cpuset) runs one
// worker on each CPU it was given, and never on another.
#include <fcntl.h>
#include <signal.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>
#include <thread>

#include "tests/support/network_namespace.h"
#include "tests/support/proc_readings.h"
#include "tests/support/reflection_exchange.h"
#include "tests/support/service_instance.h"
#include "tests/support/usable_cpus.h"

namespace reflector::test {
namespace {

using namespace std::chrono_literals;

// The distinct Cpus_allowed_list values of the process's threads.
std::set<std::string> allowed_cpus_of_threads(pid_t pid) {
  std::set<std::string> lists;
  for (const auto& [tid, cpus] : allowed_cpus_by_thread(pid)) lists.insert(cpus);
  return lists;
}

// Serving with exactly one worker, every thread on cpu alone: no worker
// went back to a CPU outside what the service was given.
void expect_one_worker_on(service_instance& service, int cpu) {
  ASSERT_TRUE(service.wait_until_answering());
  ASSERT_TRUE(wait_until_bound(service_port, 1));
  std::this_thread::sleep_for(200ms);  // time for a second worker to show, if any
  EXPECT_EQ(bound_udp_sockets(service_port), 1);
  EXPECT_EQ(allowed_cpus_of_threads(service.pid()), std::set<std::string>{std::to_string(cpu)});
  EXPECT_TRUE(service.stop_cleanly());
}

// The last CPU this process may use, when it may use another as well.
#define LAST_OF_SEVERAL_CPUS_OR_SKIP(cpu)                                        \
  const std::vector<int> usable = usable_cpus();                                 \
  if (usable.size() < 2) GTEST_SKIP() << "needs two CPUs, to leave one out";     \
  const int cpu = usable.back()

TEST(CpuRestriction, UnderTasksetOneWorkerRunsOnTheGivenCpu) {
  REFLECTOR_ENTER_NETNS_OR_SKIP({"192.0.2.1"});
  LAST_OF_SEVERAL_CPUS_OR_SKIP(cpu);
  service_instance service({.before_exec = [cpu] {
    cpu_set_t only;
    CPU_ZERO(&only);
    CPU_SET(cpu, &only);
    sched_setaffinity(0, sizeof only, &only);
  }});
  expect_one_worker_on(service, cpu);
}

// A cpuset cgroup of the test's own holding one CPU, removed at the end.
// Version 1 hierarchies name the controller's mount; version 2 needs the
// controller enabled for children of the root.
class cpuset_cgroup {
 public:
  explicit cpuset_cgroup(int cpu) {
    const std::string name = "/reflector-test-" + std::to_string(getpid());
    if (access("/sys/fs/cgroup/cpuset/cpuset.cpus", F_OK) == 0) {
      path_ = "/sys/fs/cgroup/cpuset" + name;
      if (!make() || !write("cpuset.mems", read_parent("cpuset.mems"))) return;
    } else if (controllers().find("cpuset") != std::string::npos) {
      path_ = "/sys/fs/cgroup" + name;
      write_file("/sys/fs/cgroup/cgroup.subtree_control", "+cpuset");
      if (!make()) return;
    } else {
      problem_ = "no cpuset controller is mounted";
      return;
    }
    write("cpuset.cpus", std::to_string(cpu));
  }
  ~cpuset_cgroup() {
    if (made_) rmdir(path_.c_str());
  }

  const std::string& problem() const { return problem_; }
  std::string processes_file() const { return path_ + "/cgroup.procs"; }

 private:
  static std::string controllers() {
    std::ifstream in("/sys/fs/cgroup/cgroup.controllers");
    std::string text;
    std::getline(in, text);
    return text;
  }
  std::string read_parent(const std::string& file) const {
    std::ifstream in(path_.substr(0, path_.rfind('/')) + "/" + file);
    std::string text;
    std::getline(in, text);
    return text;
  }
  bool make() {
    made_ = mkdir(path_.c_str(), 0755) == 0;
    if (!made_) problem_ = "cannot create " + path_ + ": " + std::strerror(errno);
    return made_;
  }
  bool write(const std::string& file, const std::string& value) {
    if (write_file(path_ + "/" + file, value)) return true;
    problem_ = "cannot write " + value + " to " + path_ + "/" + file;
    return false;
  }
  static bool write_file(const std::string& path, const std::string& value) {
    std::ofstream out(path);
    out << value << std::flush;
    return out.good();
  }

  std::string path_;
  std::string problem_;
  bool made_ = false;
};

TEST(CpuRestriction, InACpusetWithoutCpuZeroItServes) {
  REFLECTOR_ENTER_NETNS_OR_SKIP({"192.0.2.1"});
  LAST_OF_SEVERAL_CPUS_OR_SKIP(cpu);
  const cpuset_cgroup cgroup(cpu);
  if (!cgroup.problem().empty()) GTEST_SKIP() << "needs a cpuset cgroup: " << cgroup.problem();
  const std::string processes = cgroup.processes_file();
  {
    // Moves itself (0: the writer) into the cgroup before exec.
    service_instance service({.before_exec = [&processes] {
      const int fd = open(processes.c_str(), O_WRONLY);
      if (fd == -1 || ::write(fd, "0", 1) != 1) _exit(121);
      close(fd);
    }});
    expect_one_worker_on(service, cpu);
  }
}

}  // namespace
}  // namespace reflector::test
