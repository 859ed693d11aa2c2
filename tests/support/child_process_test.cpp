#include "tests/support/child_process.h"

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>

namespace reflector::test {
namespace {

using namespace std::chrono_literals;

struct ending_case {
  const char* name;
  const char* program;
  std::vector<std::string> args;
  int signal_number;              // sent once the child runs; 0: none
  const char* expected;
};

class ChildEnding : public testing::TestWithParam<ending_case> {};

// The status is kept once the child is reaped: asking again, or asking
// whether it runs, must not lose it.
TEST_P(ChildEnding, StatusIsTheSameAtEveryLaterCall) {
  const ending_case& c = GetParam();
  child_process child = child_process::start(c.program, c.args);
  if (c.signal_number != 0) child.signal(c.signal_number);
  const auto status = child.wait_for_exit(10s);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(describe_status(*status), c.expected);
  EXPECT_FALSE(child.running());
  const auto again = child.wait_for_exit(0ms);
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(*again, *status);
}

INSTANTIATE_TEST_SUITE_P(
    Endings, ChildEnding,
    testing::Values(ending_case{"ExitCode", "/bin/sh", {"-c", "exit 3"}, 0, "exit 3"},
                    ending_case{"Signal", "/bin/sh", {"-c", "exec sleep 10"}, SIGTERM, "signal 15"},
                    ending_case{"ProgramMissing", "/nonexistent/program", {}, 0, "exit 127"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ChildProcess, EndingTheObjectKillsAndReapsTheChild) {
  pid_t pid;
  {
    const child_process child = child_process::start("/bin/sh", {"-c", "exec sleep 10"});
    pid = child.pid();
    ASSERT_EQ(kill(pid, 0), 0);
  }
  const int result = kill(pid, 0);
  const int error = errno;
  EXPECT_EQ(result, -1);
  EXPECT_EQ(error, ESRCH) << "still there, or a zombie nobody reaped";
}

// The child gets exactly the environment given, and what it writes to a
// descriptor dup'ed onto an output_file is there to read, as often as asked.
TEST(ChildProcess, RunsWithExactlyTheGivenEnvironmentIntoAnOutputFile) {
  const output_file out;
  const int fd = out.fd();
  child_process child = child_process::start("/usr/bin/env", {}, {"A=1", "B=two"},
                                             [fd] { dup2(fd, STDOUT_FILENO); });
  ASSERT_TRUE(child.wait_for_exit(10s).has_value());
  EXPECT_EQ(out.text(), "A=1\nB=two\n");
  EXPECT_EQ(out.text(), "A=1\nB=two\n");
}

}  // namespace
}  // namespace reflector::test
