// reflect nat against two reflectord instances, each in a namespace of its
// own, joined to the test's namespace by a bridge on 203.0.113.0/24:
//
//   test namespace: br0 203.0.113.1 -- veth -- A 203.0.113.2 (reflectord)
//                                    -- veth -- B 203.0.113.3 (reflectord)
//
// With nothing in between, both behaviours must come out endpoint-independent.
#include <gtest/gtest.h>

#include <optional>

#include "tests/support/network_namespace.h"
#include "tests/tools/running_service.h"
#include "tests/tools/side_namespace.h"
#include "tests/tools/tool_run.h"

namespace reflector::test {
namespace {

// Puts one end of a new veth pair into where, with address on it, and the
// other end on the bridge of the calling namespace.
void attach_to_bridge(const side_namespace& where, const std::string& name,
                      const std::string& address) {
  const std::string outer = name + "-br";
  run_command({"ip", "link", "add", outer, "type", "veth", "peer", "name", name, "netns",
               where.path()});
  run_command({"ip", "link", "set", outer, "master", "br0", "up"});
  const side_namespace::inside in(where);
  run_command({"ip", "addr", "add", address, "dev", name});
  run_command({"ip", "link", "set", name, "up"});
}

class TwoReflectors : public testing::Test {
 protected:
  void SetUp() override {
    REFLECTOR_ENTER_NETNS_OR_SKIP({});
    a_.emplace();
    b_.emplace();
    run_command({"ip", "link", "add", "br0", "type", "bridge"});
    run_command({"ip", "addr", "add", "203.0.113.1/24", "dev", "br0"});
    run_command({"ip", "link", "set", "br0", "up"});
    attach_to_bridge(*a_, "a0", "203.0.113.2/24");
    attach_to_bridge(*b_, "b0", "203.0.113.3/24");
    {
      const side_namespace::inside in(*a_);
      service_a_.emplace("203.0.113.2");
    }
    {
      const side_namespace::inside in(*b_);
      service_b_.emplace("203.0.113.3");
    }
  }

  std::optional<side_namespace> a_;
  std::optional<side_namespace> b_;
  std::optional<running_service> service_a_;
  std::optional<running_service> service_b_;
};

TEST_F(TwoReflectors, NoTranslationMeansEndpointIndependentMappingAndFiltering) {
  const tool_result result =
      run_tool(REFLECT_PATH, {"nat", "203.0.113.2", "203.0.113.3", "--json", "--timeout", "0.3"});
  ASSERT_TRUE(result.exited_with(0)) << result.describe();
  EXPECT_NE(result.out.find("\"mapping\":\"endpoint-independent\""), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("\"filtering\":\"endpoint-independent\""), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("\"translated\":false"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("\"mapped_by_a\":\"203.0.113.1:"), std::string::npos) << result.out;
}

TEST_F(TwoReflectors, TextReportNamesBothVerdicts) {
  const tool_result result = run_tool(REFLECT_PATH, {"nat", "203.0.113.2", "203.0.113.3"});
  ASSERT_TRUE(result.exited_with(0)) << result.describe();
  EXPECT_NE(result.out.find("mapping       endpoint-independent"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("filtering     endpoint-independent"), std::string::npos) << result.out;
}

TEST_F(TwoReflectors, SilentServerFailsWithStatusTwo) {
  service_b_.reset();
  const tool_result result = run_tool(
      REFLECT_PATH, {"nat", "203.0.113.2", "203.0.113.3", "--timeout", "0.05", "--tries", "2"});
  EXPECT_TRUE(result.exited_with(2)) << result.describe();
  EXPECT_NE(result.err.find("203.0.113.3"), std::string::npos) << result.err;
}

}  // namespace
}  // namespace reflector::test
