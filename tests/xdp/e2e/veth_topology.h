// Two hosts joined by a veth pair, for the fast path end to end:
//
//   server: the test's own namespace         client: a side namespace
//   xdp0  192.0.2.1/24  2001:db8::1/64  -- veth --  peer0  192.0.2.2/24  2001:db8::2/64
//
// reflect-xdp attaches the fast path to xdp0 (native mode unless a test says
// otherwise) and reflectord, when a test starts it, runs on the server; the
// client tools and sockets run on the client. Each test also gets a mount
// namespace of its own with a BPF file system of its own at /sys/fs/bpf, so
// that reflect-xdp's pins are the test's alone and vanish with it.
//
// Two things the veth needs that a physical link would not:
// - A frame that native XDP sends back out of xdp0 reaches peer0 only
//   through peer0's NAPI, which a veth has only while GRO is on (or an XDP
//   program is attached); otherwise the kernel drops it as a transmit error.
// - A datagram sent from peer0 with transmit checksum offload on carries a
//   partial checksum that only the kernel's receive path completes. The
//   fast path answers the frame as it is, and the client would drop the
//   answer; with the offload off the client computes whole checksums, as
//   frames from any real wire have.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "tests/support/network_namespace.h"
#include "tests/support/service_instance.h"
#include "tests/support/udp_socket.h"
#include "tests/tools/tool_run.h"

namespace reflector::test {

inline constexpr const char* server_interface = "xdp0";
inline constexpr const char* client_interface = "peer0";
inline constexpr const char* server_mac = "02:00:5e:00:53:01";
inline constexpr const char* client_mac = "02:00:5e:00:53:02";

struct address_family {
  const char* name;    // "ipv4" or "ipv6", as reflect-xdp stats names it
  const char* server;  // xdp0's address
  const char* client;  // peer0's address
  const char* prefix;  // the server's /24 or /64, for addresses beside it
};

inline void PrintTo(const address_family& family, std::ostream* out) { *out << family.name; }

inline constexpr address_family ipv4{"ipv4", "192.0.2.1", "192.0.2.2", "192.0.2."};
inline constexpr address_family ipv6{"ipv6", "2001:db8::1", "2001:db8::2", "2001:db8::"};

// "192.0.2.1" as is, "2001:db8::1" as "[2001:db8::1]": how the tools print an
// address before a port.
std::string with_brackets(const std::string& address);

// The counters of reflect-xdp stats --json: packets per reason and family.
class fast_path_counts {
 public:
  explicit fast_path_counts(std::string json) : json_(std::move(json)) {}
  // -1 when the JSON has no such member.
  long long at(const std::string& reason, const std::string& family) const;
  long long total(const std::string& reason) const { return at(reason, "total"); }
  const std::string& json() const { return json_; }

 private:
  std::string json_;
};

// Whether a tool's failure is what an operator should see: the exit status,
// nothing on stdout, and exactly one line on stderr that starts with who
// and contains what.
testing::AssertionResult refused_in_one_line(const tool_result& result, int status,
                                             const std::string& who, const std::string& what);

class VethTopology : public testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // reflect-xdp with these arguments, on the server.
  tool_result reflect_xdp(const std::vector<std::string>& args);
  // attach (native unless told), which must succeed.
  void attach(const std::vector<std::string>& extra = {});
  // The counters of xdp0, which must be readable.
  fast_path_counts counts();

  // A program (reflect, reflect-bench) run on the client.
  tool_result on_client(const std::string& path, const std::vector<std::string>& args,
                        std::chrono::milliseconds timeout = std::chrono::seconds(20));
  // A command (ip(8) most often) run on the client; throws when it fails.
  void run_on_client(const std::vector<std::string>& argv);
  // A UDP socket on the client, bound to address (port 0: any).
  udp_socket client_socket(const std::string& address, std::uint16_t port = 0);

  // reflectord on the server, answering before this returns.
  void start_service();

  // xdp0's interface index on the server.
  int server_index() const;

  std::optional<side_namespace> client_ns_;
  std::optional<service_instance> service_;
};

}  // namespace reflector::test
