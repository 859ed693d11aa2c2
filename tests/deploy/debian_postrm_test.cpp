// The Debian package's postrm, run by sh as dpkg runs it, against a root of
// its own ($DPKG_ROOT): what each of its actions leaves of the links that
// "systemctl enable" made for the package's units.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "tests/support/scratch_directory.h"
#include "tests/support/shell_command.h"

namespace reflector::test {
namespace {

namespace fs = std::filesystem;

const fs::path postrm = fs::path(REFLECTOR_SOURCE_DIR) / "deploy/debian/postrm";

// Each link as systemctl enable makes it, under etc/systemd/system: the
// package's (the service, the exporter, the timer and two fast path
// instances under the service) and another package's.
const std::set<std::string> enabled_links{
    "multi-user.target.wants/reflectord.service",
    "multi-user.target.wants/reflect-stats.service",
    "reflectord.service.wants/reflect-stats-check.timer",
    "reflectord.service.wants/reflect-xdp@eth0.service",
    "reflectord.service.wants/reflect-xdp@enp3s0f1.service",
    "multi-user.target.wants/ssh.service",
};

// Where the links live under a root of the test's own.
fs::path units_of(const scratch_directory& root) { return root.path() / "etc/systemd/system"; }

void enable_all(const scratch_directory& root) {
  for (const auto& link : enabled_links) {
    const fs::path path = units_of(root) / link;
    fs::create_directories(path.parent_path());
    const std::string unit = path.filename().string();
    const std::string template_unit = unit.find('@') == std::string::npos
                                          ? unit
                                          : unit.substr(0, unit.find('@') + 1) + ".service";
    fs::create_symlink("/usr/lib/systemd/system/" + template_unit, path);
  }
}

// What is left under etc/systemd/system: links, and directories left empty.
std::set<std::string> left(const scratch_directory& root) {
  std::set<std::string> found;
  if (!fs::exists(units_of(root))) return found;
  for (const auto& entry : fs::recursive_directory_iterator(units_of(root))) {
    const bool empty_directory = entry.is_directory() && fs::is_empty(entry.path());
    if (entry.is_symlink() || empty_directory)
      found.insert(fs::relative(entry.path(), units_of(root)).string());
  }
  return found;
}

TEST(DebianPostrm, PurgeRemovesEveryLinkToThePackagesUnitsAndKeepsOthers) {
  // On the host's own /etc it would act on the machine running the test.
  std::ifstream in(postrm);
  std::ostringstream text;
  text << in.rdbuf();
  ASSERT_NE(text.str().find("${DPKG_ROOT:-}/etc/systemd/system"), std::string::npos)
      << "postrm must act under $DPKG_ROOT";

  struct action_case {
    const char* argument;
    bool enabled;
    std::set<std::string> expected;
  };
  const action_case cases[] = {
      {"purge", true, {"multi-user.target.wants/ssh.service"}},
      {"purge", false, {}},  // nothing was enabled: nothing to trip on
      {"remove", true, enabled_links},
      {"upgrade", true, enabled_links},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.argument) + (c.enabled ? ", units enabled" : ", nothing enabled"));
    const scratch_directory root("postrm_test");
    ASSERT_FALSE(root.path().empty());
    if (c.enabled) enable_all(root);
    const auto run = run_shell("env -i PATH=/bin:/usr/bin DPKG_ROOT=" + shell_quoted(root.path().string()) +
                               " sh " + shell_quoted(postrm.string()) + " " + c.argument + " 2>&1");
    EXPECT_TRUE(run.succeeded()) << run.output;
    EXPECT_EQ(left(root), c.expected);
  }
}

}  // namespace
}  // namespace reflector::test
