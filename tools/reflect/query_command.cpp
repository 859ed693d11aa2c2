#include <cstdio>

#include "tools/common/json_object.h"
#include "tools/common/tool_errors.h"
#include "tools/reflect/client_options.h"
#include "tools/reflect/commands.h"
#include "tools/reflect/help_text.h"

namespace reflector::tools {
namespace {

std::string no_reply_message(const socket_endpoint& server, unsigned tries) {
  return "no reply from " + server.text() + " after " + std::to_string(tries) +
         (tries == 1 ? " try" : " tries");
}

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
  if (asks_for_help(args)) {
    std::fputs(query_help.c_str(), stdout);
    return exit_ok;
  }
  const command_line line(args, client_known_options(true));
  line.expect_positionals(1, 1, "SERVER");
  const client_options options = read_client_options(line);
  const socket_endpoint server =
      resolve_endpoint(line.positionals()[0], service_port, options.family, "server");

  const datagram_socket socket(server.family());
  const auto got = exchange(socket, server, make_request(QUERY), options.retry);
  if (!got) throw no_answer(no_reply_message(server, options.retry.tries));
  print_mapping(server, *got, options.json);
  return exit_ok;
}

}  // namespace reflector::tools
