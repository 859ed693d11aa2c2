#include <cstdio>

#include "tools/common/json_object.h"
#include "tools/common/tool_errors.h"
#include "tools/reflect/client_options.h"
#include "tools/reflect/commands.h"
#include "tools/reflect/help_text.h"
#include "tools/reflect/nat_verdict.h"

namespace reflector::tools {
namespace {

struct server_pair {
  socket_endpoint a;
  socket_endpoint b;
};

server_pair resolve_servers(const std::string& a_text, const std::string& b_text,
                            address_family family) {
  server_pair servers;
  servers.a = resolve_endpoint(a_text, service_port, family, "SERVER_A");
  // B in A's family, so that one local socket can speak to both.
  servers.b = resolve_endpoint(b_text, service_port,
                               family_of(servers.a), "SERVER_B (of SERVER_A's family)");
  if (servers.a.wire().address == servers.b.wire().address) {
    throw usage_error("SERVER_A and SERVER_B have the same address " + address_text(servers.a.wire()) +
                      "; the test needs reflectors on two different hosts");
  }
  return servers;
}

datagram_socket open_bound(int family) {
  datagram_socket socket(family);
  socket.bind(socket_endpoint::wildcard(family, 0));
  return socket;
}

// The address this host sends from towards server, with the socket's port:
// what a server would see if nothing translated it. Connecting a UDP socket
// sends nothing; it only picks the route.
wire_endpoint own_endpoint_towards(const socket_endpoint& server, const datagram_socket& socket) {
  datagram_socket probe(server.family());
  probe.connect(server);
  wire_endpoint own = probe.local().wire();
  own.port = socket.local().wire().port;
  return own;
}

wire_endpoint mapping_seen_by(const socket_endpoint& server, const datagram_socket& socket,
                              const retry_policy& retry) {
  const auto got = exchange(socket, server, make_request(QUERY), retry);
  if (!got) throw no_answer(no_reply_message(server, retry.tries));
  return decode_endpoint(got->reply.data());
}

// Whether a FORWARD from asker through server reaches target_socket's mapping.
bool forward_arrives(const datagram_socket& asker, const socket_endpoint& server,
                     const wire_endpoint& mapping, const datagram_socket& target_socket,
                     const retry_policy& retry) {
  return exchange(asker, server, make_request(FORWARD, mapping), target_socket, retry).has_value();
}

// Mapping and filtering are probed on different sockets: a datagram from B
// to a mapping can itself leave state in the NAT (a conntrack entry) that
// makes the same socket's later mapping towards B come out different.
nat_observations observe(const server_pair& servers, const retry_policy& retry) {
  const int family = servers.a.family();
  const datagram_socket mapped = open_bound(family);
  const datagram_socket filtered = open_bound(family);
  const datagram_socket asker = open_bound(family);
  nat_observations seen;
  seen.local = own_endpoint_towards(servers.a, mapped);
  seen.mapped_by_a = mapping_seen_by(servers.a, mapped, retry);
  seen.mapped_by_b = mapping_seen_by(servers.b, mapped, retry);

  const wire_endpoint only_a_has_seen = mapping_seen_by(servers.a, filtered, retry);
  // Until that socket has sent to B, only a filter that ignores the sender
  // lets B's datagram in.
  seen.forward_from_b_arrived = forward_arrives(asker, servers.b, only_a_has_seen, filtered, retry);
  seen.control_from_a_arrived = forward_arrives(asker, servers.a, only_a_has_seen, filtered, retry);
  return seen;
}

std::string filtering_evidence(const nat_observations& seen) {
  return std::string(seen.forward_from_b_arrived ? "forward from B arrived"
                                                 : "forward from B did not arrive") +
         (seen.control_from_a_arrived ? ", control through A arrived"
                                      : ", control through A did not arrive");
}

void print_report(const server_pair& servers, const nat_observations& seen,
                  const nat_verdict& verdict) {
  std::printf("server A      %s saw %s\n", servers.a.text().c_str(),
              endpoint_text(seen.mapped_by_a).c_str());
  std::printf("server B      %s saw %s\n", servers.b.text().c_str(),
              endpoint_text(seen.mapped_by_b).c_str());
  std::printf("translation   %s (local endpoint %s)\n", verdict.translated ? "yes" : "none",
              endpoint_text(seen.local).c_str());
  std::printf("mapping       %s\n", describe(verdict.mapping).c_str());
  std::printf("filtering     %s (%s)\n", describe(verdict.filtering).c_str(),
              filtering_evidence(seen).c_str());
}

void print_json(const server_pair& servers, const nat_observations& seen,
                const nat_verdict& verdict) {
  json_object out;
  out.add_string("server_a", servers.a.text())
      .add_string("server_b", servers.b.text())
      .add_string("local", endpoint_text(seen.local))
      .add_string("mapped_by_a", endpoint_text(seen.mapped_by_a))
      .add_string("mapped_by_b", endpoint_text(seen.mapped_by_b))
      .add_bool("translated", verdict.translated)
      .add_string("mapping", describe(verdict.mapping))
      .add_string("filtering", describe(verdict.filtering))
      .add_bool("forward_from_b_arrived", seen.forward_from_b_arrived)
      .add_bool("control_from_a_arrived", seen.control_from_a_arrived);
  std::printf("%s\n", out.text().c_str());
}

}  // namespace

int run_nat(const std::vector<std::string>& args) {
  client_options options;
  std::string a_text;
  std::string b_text;
  command_line line("reflect nat", nat_help);
  add_client_options(line, options, true);
  line.add_positional("SERVER_A", a_text);
  line.add_positional("SERVER_B", b_text);
  if (!line.parse(args)) return exit_ok;
  const server_pair servers = resolve_servers(a_text, b_text, options.family);

  const nat_observations seen = observe(servers, options.retry());
  const nat_verdict verdict = classify(seen);
  if (options.json) {
    print_json(servers, seen, verdict);
  } else {
    print_report(servers, seen, verdict);
  }
  return exit_ok;
}

}  // namespace reflector::tools
