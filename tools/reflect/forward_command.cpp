#include <cstdio>

#include "tools/common/forward_refusal_text.h"
#include "tools/common/json_object.h"
#include "tools/common/tool_errors.h"
#include "tools/reflect/client_options.h"
#include "tools/reflect/commands.h"
#include "tools/reflect/help_text.h"

namespace reflector::tools {
namespace {

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
  client_options options;
  std::string server_text;
  std::string target_text;
  command_line line("reflect forward", forward_help);
  add_client_options(line, options, false);
  line.add_positional("SERVER", server_text);
  line.add_positional("TARGET", target_text);
  if (!line.parse(args)) return exit_ok;
  const socket_endpoint server =
      resolve_endpoint(server_text, service_port, options.family, "server");
  const socket_endpoint target =
      resolve_endpoint(target_text, std::nullopt, address_family::any, "target");

  const auto refusal = forward_refusal_message(target);
  if (refusal) {
    std::fprintf(stderr, "reflect forward: warning: %s; nothing will arrive\n", refusal->c_str());
  }
  const datagram_socket socket(server.family());
  socket.send_to(server, make_request(FORWARD, target.wire()));
  print_request(server, target, !refusal, options.json);
  return exit_ok;
}

}  // namespace reflector::tools
