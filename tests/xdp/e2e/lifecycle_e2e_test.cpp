// reflect-xdp's attach, detach and status as an operator meets them, checked
// against the kernel's own view of the interface (bpf_xdp_query), and what
// it refuses: interfaces it cannot serve, another program's place, users
// without privilege. reflectord is stopped throughout, so an answer can only
// be the fast path's.
#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <linux/if_link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "platform/xdp/fast_path_program.h"
#include "tests/support/child_process.h"
#include "tests/xdp/e2e/veth_topology.h"

namespace reflector::test {
namespace {

using namespace std::chrono_literals;

namespace fs = std::filesystem;

const std::string pins = std::string("/sys/fs/bpf/reflector/") + server_interface;

struct xdp_state {
  std::uint32_t program_id = 0;
  int mode = XDP_ATTACHED_NONE;
};

// The kernel's word on what is attached to an interface.
xdp_state attached_to(int index) {
  LIBBPF_OPTS(bpf_xdp_query_opts, query);
  EXPECT_EQ(bpf_xdp_query(index, 0, &query), 0);
  return {query.prog_id, static_cast<int>(query.attach_mode)};
}

class Lifecycle : public VethTopology {
 protected:
  // One QUERY from the client, so that the fast path counts exactly one;
  // an answer is waited for generously, a silence briefly.
  testing::AssertionResult answered(const std::string& server) {
    const tool_result query =
        on_client(REFLECT_PATH, {"query", server, "--tries", "1", "--timeout", "2"});
    if (query.exited_with(0)) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "no answer from " << server << ": " << query.describe();
  }
  testing::AssertionResult unanswered(const std::string& server) {
    const tool_result query =
        on_client(REFLECT_PATH, {"query", server, "--tries", "1", "--timeout", "0.3"});
    if (query.exited_with(2)) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "answered from " << server << ": " << query.describe();
  }
};

TEST_F(Lifecycle, StatusShowsTheAttachmentAndDetachRemovesIt) {
  const tool_result attached = reflect_xdp({"attach", server_interface});
  ASSERT_TRUE(attached.exited_with(0)) << attached.describe();
  EXPECT_EQ(attached.out, "attached to xdp0 in native mode\n");
  const xdp_state kernel = attached_to(server_index());
  EXPECT_EQ(kernel.mode, XDP_ATTACHED_DRV);
  ASSERT_NE(kernel.program_id, 0u);

  EXPECT_TRUE(answered(ipv4.server));
  EXPECT_TRUE(answered(ipv6.server));

  const tool_result status = reflect_xdp({"status"});
  ASSERT_TRUE(status.exited_with(0)) << status.describe();
  EXPECT_EQ(status.out.rfind("xdp0: attached, native mode, program " +
                                 std::to_string(kernel.program_id) + ", answering for ",
                             0),
            0u)
      << status.out;
  EXPECT_NE(status.out.find(", 2 answered\n"), std::string::npos) << status.out;
  const tool_result status_json = reflect_xdp({"status", "--json"});
  ASSERT_TRUE(status_json.exited_with(0)) << status_json.describe();
  EXPECT_NE(status_json.out.find("{\"interface\":\"xdp0\",\"attached\":true,\"mode\":\"native\","
                                 "\"program_id\":" +
                                 std::to_string(kernel.program_id) + ","),
            std::string::npos)
      << status_json.out;

  const tool_result detached = reflect_xdp({"detach", server_interface});
  ASSERT_TRUE(detached.exited_with(0)) << detached.describe();
  EXPECT_EQ(detached.out, "detached from xdp0\n");
  EXPECT_EQ(attached_to(server_index()).program_id, 0u);
  EXPECT_FALSE(fs::exists(pins));
  EXPECT_EQ(reflect_xdp({"status"}).out, "the fast path is attached to no interface\n");
  EXPECT_EQ(reflect_xdp({"status", "--json"}).out, "{\"attachments\":[]}\n");

  EXPECT_TRUE(unanswered(ipv4.server));
  EXPECT_TRUE(unanswered(ipv6.server));
  EXPECT_TRUE(refused_in_one_line(reflect_xdp({"detach", server_interface}), 1,
                                  "reflect-xdp detach", "not attached to xdp0"));
}

TEST_F(Lifecycle, GenericModeAnswersAndSaysSo) {
  const tool_result attached = reflect_xdp({"attach", server_interface, "--mode", "generic"});
  ASSERT_TRUE(attached.exited_with(0)) << attached.describe();
  EXPECT_EQ(attached.out, "attached to xdp0 in generic mode\n");
  EXPECT_EQ(attached_to(server_index()).mode, XDP_ATTACHED_SKB);
  EXPECT_TRUE(answered(ipv4.server));
  EXPECT_TRUE(answered(ipv6.server));
  EXPECT_NE(reflect_xdp({"status"}).out.find("xdp0: attached, generic mode"), std::string::npos);
  const fast_path_counts counted = counts();
  EXPECT_EQ(counted.at("answered", "ipv4"), 1) << counted.json();
  EXPECT_EQ(counted.at("answered", "ipv6"), 1) << counted.json();
}

// The fast path knows the host's addresses as they were at attach; attach
// again on the same interface reads them anew, without a second program.
TEST_F(Lifecycle, AttachAgainTakesInAddressesAddedSince) {
  attach();
  const std::uint32_t program = attached_to(server_index()).program_id;
  run_command({"ip", "-4", "addr", "add", "192.0.2.3/24", "dev", server_interface});
  run_command({"ip", "-6", "addr", "add", "2001:db8::3/64", "dev", server_interface, "nodad"});
  EXPECT_TRUE(unanswered("192.0.2.3"));
  EXPECT_TRUE(unanswered("2001:db8::3"));
  EXPECT_EQ(counts().total("passed_not_local"), 2);

  const tool_result again = reflect_xdp({"attach", server_interface});
  ASSERT_TRUE(again.exited_with(0)) << again.describe();
  EXPECT_EQ(again.out, "already attached to xdp0; read the host's addresses again\n");
  EXPECT_EQ(attached_to(server_index()).program_id, program);
  EXPECT_TRUE(answered("192.0.2.3"));
  EXPECT_TRUE(answered("2001:db8::3"));
  EXPECT_EQ(counts().total("answered"), 2);
}

// The VLANs the fast path answers on are the 802.1Q VLAN interfaces stacked
// on its own that are up, as attach finds them; attach again takes in a
// change. 802.1ad ones, those that are down and those on other interfaces
// are not the host's VLANs here.
TEST_F(Lifecycle, AttachMarksTheVlansTheHostIsOnThroughTheInterface) {
  try {
    run_command({"ip", "link", "add", "link", server_interface, "name", "xdp0.100", "type", "vlan", "id", "100"});
  } catch (const std::exception& error) {
    GTEST_SKIP() << "this kernel makes no VLAN interfaces (CONFIG_VLAN_8021Q): " << error.what();
  }
  run_command({"ip", "link", "add", "link", server_interface, "name", "xdp0.200", "type", "vlan", "id", "200"});
  run_command({"ip", "link", "add", "link", server_interface, "name", "xdp0.ad", "type", "vlan", "proto",
               "802.1ad", "id", "300"});
  run_command({"ip", "link", "add", "other0", "type", "veth", "peer", "name", "other1"});
  run_command({"ip", "link", "add", "link", "other0", "name", "other0.400", "type", "vlan", "id", "400"});
  for (const char* up : {"xdp0.100", "xdp0.ad", "other0", "other0.400"})
    run_command({"ip", "link", "set", up, "up"});

  const auto marked = [] {
    const int fd = bpf_obj_get((pins + "/vlans").c_str());
    EXPECT_GE(fd, 0) << std::strerror(errno);
    std::vector<std::uint32_t> ids;
    for (std::uint32_t id = 0; fd >= 0 && id < 4096; ++id) {
      std::uint8_t on = 0;
      EXPECT_EQ(bpf_map_lookup_elem(fd, &id, &on), 0);
      if (on != 0) ids.push_back(id);
    }
    if (fd >= 0) close(fd);
    return ids;
  };
  attach();
  EXPECT_EQ(marked(), (std::vector<std::uint32_t>{100}));

  run_command({"ip", "link", "set", "xdp0.200", "up"});
  run_command({"ip", "link", "set", "xdp0.100", "down"});
  attach();
  EXPECT_EQ(marked(), (std::vector<std::uint32_t>{200}));
}

// The subnets of the host's IPv4 addresses, as attach finds them: the first
// and last address of each, none for a /31; a QUERY from one of them is
// left to the kernel.
TEST_F(Lifecycle, AttachRecordsTheBroadcastAddressesOfTheHostsSubnets) {
  run_command({"ip", "-4", "addr", "add", "198.51.100.77/26", "dev", server_interface});
  run_command({"ip", "-4", "addr", "add", "203.0.113.9/31", "dev", server_interface});
  attach();
  const int fd = bpf_obj_get((pins + "/local_broadcasts").c_str());
  ASSERT_GE(fd, 0) << std::strerror(errno);
  std::set<address16> recorded;
  address16 key{};
  address16 next{};
  for (const void* previous = nullptr; bpf_map_get_next_key(fd, previous, next.data()) == 0; previous = key.data()) {
    recorded.insert(next);
    key = next;
  }
  close(fd);
  EXPECT_EQ(recorded, (std::set<address16>{address_of("192.0.2.0"), address_of("192.0.2.255"),
                                           address_of("198.51.100.64"), address_of("198.51.100.127")}));
}

// Pins of an attachment made before the fast path learned of broadcasts
// and VLANs: a refresh cannot fill what is not there, so attach says to
// detach first, and leaves it answering as it was.
TEST_F(Lifecycle, AttachOverAnOlderAttachmentSaysToDetachFirst) {
  attach();
  fs::remove(pins + "/local_broadcasts");
  fs::remove(pins + "/vlans");
  EXPECT_TRUE(refused_in_one_line(reflect_xdp({"attach", server_interface}), 1, "reflect-xdp attach",
                                  "attached by an older reflect-xdp"));
  EXPECT_TRUE(answered(ipv4.server));
  EXPECT_TRUE(reflect_xdp({"detach", server_interface}).exited_with(0));
  EXPECT_FALSE(fs::exists(pins));
}

// Asking for generic mode where the fast path sits in native mode must not
// pass for done: attach refuses, says what mode it is in, and leaves it
// answering. Without --mode, attach only refreshes, whatever the mode.
TEST_F(Lifecycle, AttachInAnotherModeIsRefusedAndWithoutModeRefreshes) {
  attach();
  const tool_result generic = reflect_xdp({"attach", server_interface, "--mode", "generic"});
  EXPECT_TRUE(refused_in_one_line(generic, 1, "reflect-xdp attach", "native"));
  EXPECT_EQ(attached_to(server_index()).mode, XDP_ATTACHED_DRV);
  EXPECT_TRUE(answered(ipv4.server));

  ASSERT_TRUE(reflect_xdp({"detach", server_interface}).exited_with(0));
  ASSERT_TRUE(reflect_xdp({"attach", server_interface, "--mode", "generic"}).exited_with(0));
  const tool_result refresh = reflect_xdp({"attach", server_interface});
  EXPECT_TRUE(refresh.exited_with(0)) << refresh.describe();
  EXPECT_EQ(attached_to(server_index()).mode, XDP_ATTACHED_SKB);
  EXPECT_TRUE(answered(ipv4.server));
}

// With the interface gone the kernel detaches the program, but the pins
// stay until detach clears them; status says which is which.
TEST_F(Lifecycle, PinsOfAVanishedInterfaceAreShownAndCleared) {
  attach();
  run_command({"ip", "link", "del", server_interface});
  const tool_result status = reflect_xdp({"status"});
  ASSERT_TRUE(status.exited_with(0)) << status.describe();
  EXPECT_EQ(status.out,
            "xdp0: pinned, but the interface has gone (reflect-xdp detach xdp0 removes it)\n");
  EXPECT_NE(reflect_xdp({"status", "--json"}).out.find("\"attached\":false,\"mode\":null"),
            std::string::npos);
  const tool_result detached = reflect_xdp({"detach", server_interface});
  ASSERT_TRUE(detached.exited_with(0)) << detached.describe();
  EXPECT_FALSE(fs::exists(pins));
  EXPECT_EQ(reflect_xdp({"status"}).out, "the fast path is attached to no interface\n");
}

// ---- refusals ----

struct refusal_case {
  const char* name;
  std::vector<std::string> args;
  const char* who;
  const char* what;
};

void PrintTo(const refusal_case& c, std::ostream* out) { *out << c.name; }

const refusal_case refusal_cases[] = {
    {"unknown_interface", {"attach", "nosuch0"}, "reflect-xdp attach", "no interface 'nosuch0'"},
    {"interface_without_ethernet",
     {"attach", "lo"},
     "reflect-xdp attach",
     "lo has no Ethernet address"},
    {"path_for_a_name", {"attach", "../xdp0"}, "reflect-xdp attach", "no interface"},
    {"unknown_mode", {"attach", "xdp0", "--mode", "fast"}, "reflect-xdp attach", "--mode"},
    {"detach_when_not_attached", {"detach", "xdp0"}, "reflect-xdp detach", "not attached to xdp0"},
    {"stats_when_not_attached", {"stats", "xdp0"}, "reflect-xdp stats", "not attached"},
    {"unknown_command", {"attack", "xdp0"}, "reflect-xdp", "unknown command"},
};

class Refusal : public VethTopology, public testing::WithParamInterface<refusal_case> {};

TEST_P(Refusal, SaysWhyInOneLineAndAttachesNothing) {
  const refusal_case& c = GetParam();
  EXPECT_TRUE(refused_in_one_line(reflect_xdp(c.args), 1, c.who, c.what));
  EXPECT_EQ(attached_to(server_index()).program_id, 0u);
  EXPECT_FALSE(fs::exists(pins));
}

INSTANTIATE_TEST_SUITE_P(Commands, Refusal, testing::ValuesIn(refusal_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// Another program's place on the interface is not the fast path's to take,
// in whichever mode that program sits.
struct other_program_case {
  const char* name;
  std::uint32_t flags;
  std::vector<std::string> attach_args;
};

void PrintTo(const other_program_case& c, std::ostream* out) { *out << c.name; }

const other_program_case other_program_cases[] = {
    {"native_other_native_attach", XDP_FLAGS_DRV_MODE, {}},
    {"generic_other_native_attach", XDP_FLAGS_SKB_MODE, {}},
    {"native_other_generic_attach", XDP_FLAGS_DRV_MODE, {"--mode", "generic"}},
};

class AnotherProgram : public VethTopology,
                       public testing::WithParamInterface<other_program_case> {};

TEST_P(AnotherProgram, IsLeftInPlace) {
  const other_program_case& c = GetParam();
  const xdp::fast_path_program other;
  ASSERT_EQ(bpf_xdp_attach(server_index(), other.program_fd(), c.flags, nullptr), 0);
  const std::uint32_t other_id = attached_to(server_index()).program_id;

  std::vector<std::string> args{"attach", server_interface};
  args.insert(args.end(), c.attach_args.begin(), c.attach_args.end());
  EXPECT_TRUE(refused_in_one_line(reflect_xdp(args), 1, "reflect-xdp attach",
                                  "another XDP program (id " + std::to_string(other_id) +
                                      ") is attached to xdp0; detach it first"));
  EXPECT_EQ(attached_to(server_index()).program_id, other_id);
  EXPECT_FALSE(fs::exists(pins));
  EXPECT_EQ(bpf_xdp_detach(server_index(), c.flags, nullptr), 0);
}

INSTANTIATE_TEST_SUITE_P(Modes, AnotherProgram, testing::ValuesIn(other_program_cases),
                         [](const auto& info) { return std::string(info.param.name); });

// Once attached, the fast path holds its place: a program attached the old
// way, through netlink, cannot push it out.
TEST_F(Lifecycle, HoldsItsPlaceAgainstAnotherProgram) {
  attach();
  const std::uint32_t ours = attached_to(server_index()).program_id;
  const xdp::fast_path_program other;
  EXPECT_NE(bpf_xdp_attach(server_index(), other.program_fd(), XDP_FLAGS_DRV_MODE, nullptr), 0);
  EXPECT_EQ(attached_to(server_index()).program_id, ours);
  EXPECT_TRUE(answered(ipv4.server));
}

// ---- without privilege ----

// reflect-xdp run as nobody: no capabilities.
class Unprivileged : public VethTopology {
 protected:
  tool_result as_nobody(const std::vector<std::string>& args) { return run_tool_as_nobody(REFLECT_XDP_PATH, args); }
};

TEST_F(Unprivileged, AttachIsRefusedInOneLine) {
  EXPECT_TRUE(refused_in_one_line(as_nobody({"attach", server_interface}), 1, "reflect-xdp attach",
                                  "not permitted (needs root"));
  EXPECT_EQ(attached_to(server_index()).program_id, 0u);
}

TEST_F(Unprivileged, EveryCommandOnAnAttachmentIsRefusedAndChangesNothing) {
  attach();
  const std::uint32_t program = attached_to(server_index()).program_id;
  const std::vector<std::vector<std::string>> commands = {{"attach", server_interface},
                                                          {"detach", server_interface},
                                                          {"stats", server_interface},
                                                          {"stats"},
                                                          {"status"},
                                                          {"status", "--json"}};
  for (const auto& args : commands) {
    EXPECT_TRUE(refused_in_one_line(as_nobody(args), 1, "reflect-xdp " + args[0],
                                    "not permitted (needs root"))
        << args[0] << (args.size() > 1 ? " " + args[1] : "");
  }
  EXPECT_EQ(attached_to(server_index()).program_id, program);
  EXPECT_TRUE(fs::exists(pins + "/link"));
  const tool_result query =
      on_client(REFLECT_PATH, {"query", ipv4.server, "--tries", "1", "--timeout", "2"});
  EXPECT_TRUE(query.exited_with(0)) << query.describe();
}

}  // namespace
}  // namespace reflector::test
