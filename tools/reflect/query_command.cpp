#include <cstdio>

#include "tools/common/json_object.h"
#include "tools/common/tool_errors.h"
#include "tools/reflect/client_options.h"
#include "tools/reflect/commands.h"
#include "tools/reflect/help_text.h"

namespace reflector::tools {
namespace {

void print_mapping(const socket_endpoint& server, const answer& got, bool json) {
  const wire_endpoint mapped = decode_endpoint(got.reply.data());
  if (!json) {
    std::printf("%s\n", endpoint_text(mapped).c_str());
    return;
  }
  json_object out;
  out.add_string("server", server.text())
      .add_string("address", address_text(mapped))
      .add_integer("port", port_number(mapped))
      .add_string("endpoint", endpoint_text(mapped))
      .add_integer("tries", got.tries)
      .add_number("round_trip_ms", got.round_trip_seconds * 1e3);
  std::printf("%s\n", out.text().c_str());
}

}  // namespace

int run_query(const std::vector<std::string>& args) {
  client_options options;
  std::string server_text;
  command_line line("reflect query", query_help);
  add_client_options(line, options, true);
  line.add_positional("SERVER", server_text);
  if (!line.parse(args)) return exit_ok;
  const socket_endpoint server =
      resolve_endpoint(server_text, service_port, options.family, "server");

  const datagram_socket socket(server.family());
  const auto got = exchange(socket, server, make_request(QUERY), options.retry());
  if (!got) throw no_answer(no_reply_message(server, options.tries));
  print_mapping(server, *got, options.json);
  return exit_ok;
}

}  // namespace reflector::tools
