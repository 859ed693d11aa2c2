#include <cstdio>

#include "protocol/forward_target_filter.h"
#include "protocol/message_layout.h"
#include "tools/common/json_object.h"
#include "tools/common/tool_errors.h"
#include "tools/reflect/client_options.h"
#include "tools/reflect/commands.h"
#include "tools/reflect/help_text.h"

namespace reflector::tools {
namespace {

bool service_accepts(const wire_endpoint& target) {
  return forward_target_allowed(port_number(target), target.address);
}

void print_request(const socket_endpoint& server, const socket_endpoint& target, bool allowed,
                   bool json) {
  if (!json) {
    std::printf("asked %s to send this host's address to %s\n", server.text().c_str(),
                target.text().c_str());
    return;
  }
  json_object out;
  out.add_string("server", server.text())
      .add_string("target", target.text())
      .add_bool("target_allowed", allowed);
  std::printf("%s\n", out.text().c_str());
}

}  // namespace

int run_forward(const std::vector<std::string>& args) {
  if (asks_for_help(args)) {
    std::fputs(forward_help.c_str(), stdout);
    return exit_ok;
  }
  const command_line line(args, client_known_options(false));
  line.expect_positionals(2, 2, "SERVER TARGET");
  const client_options options = read_client_options(line);
  const socket_endpoint server =
      resolve_endpoint(line.positionals()[0], service_port, options.family, "server");
  const socket_endpoint target =
      resolve_endpoint(line.positionals()[1], std::nullopt, address_family::any, "target");

  const bool allowed = service_accepts(target.wire());
  if (!allowed) {
    std::fprintf(stderr,
                 "reflect forward: warning: the service refuses target %s (port below %u, or "
                 "a loopback, private, link-local, multicast, unspecified or broadcast "
                 "address); nothing will arrive\n",
                 target.text().c_str(), static_cast<unsigned>(lowest_forward_port));
  }
  const datagram_socket socket(server.family());
  socket.send_to(server, make_request(FORWARD, target.wire()));
  print_request(server, target, allowed, options.json);
  return exit_ok;
}

}  // namespace reflector::tools
