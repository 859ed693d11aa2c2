#include <cstdio>
#include <optional>

#include "protocol/request.h"
#include "tools/common/json_object.h"
#include "tools/common/tool_errors.h"
#include "tools/reflect/client_options.h"
#include "tools/reflect/commands.h"
#include "tools/reflect/help_text.h"

namespace reflector::tools {
namespace {

using clock = std::chrono::steady_clock;

struct listen_options {
  client_options common;
  std::optional<unsigned long long> count;
  std::optional<double> timeout_seconds;
};

listen_options read_listen_options(const command_line& line) {
  listen_options options{read_client_options(line), std::nullopt, std::nullopt};
  if (const auto count = line.value("--count")) {
    options.count = parse_count(*count, "--count", 1, 1'000'000'000);
  }
  if (const auto timeout = line.value("--timeout")) {
    options.timeout_seconds = parse_seconds(*timeout, "--timeout", 0.001, 86400);
  }
  return options;
}

datagram_socket open_listener(const socket_endpoint& local, address_family family) {
  datagram_socket socket(local.family());
  try {
    if (family == address_family::ipv6) socket.refuse_ipv4();
    socket.bind(local);
  } catch (const std::system_error& error) {
    throw usage_error(std::string("cannot listen on ") + local.text() + ": " +
                      error.code().message());
  }
  return socket;
}

void print_forwarded(const std::uint8_t* reply, std::size_t length, const socket_endpoint& from,
                     bool json) {
  const std::string requester = endpoint_text(decode_endpoint(reply));
  if (json) {
    json_object out;
    out.add_string("requester", requester)
        .add_string("server", from.text())
        .add_integer("length", length);
    std::printf("%s\n", out.text().c_str());
  } else {
    std::printf("%s from %s\n", requester.c_str(), from.text().c_str());
  }
  std::fflush(stdout);  // one line per reply, even into a pipe
}

}  // namespace

int run_listen(const std::vector<std::string>& args) {
  if (asks_for_help(args)) {
    std::fputs(listen_help.c_str(), stdout);
    return exit_ok;
  }
  auto accepted = client_known_options(false);
  accepted.push_back({"--count", true});
  accepted.push_back({"--timeout", true});
  const command_line line(args, accepted);
  line.expect_positionals(1, 1, "[ADDRESS]:PORT");
  const listen_options options = read_listen_options(line);
  const socket_endpoint local = resolve_endpoint(line.positionals()[0], std::nullopt,
                                                 options.common.family, "listen address", true);
  const datagram_socket socket = open_listener(local, options.common.family);

  const auto deadline = options.timeout_seconds
                            ? clock::now() + std::chrono::duration_cast<clock::duration>(
                                                 std::chrono::duration<double>(*options.timeout_seconds))
                            : clock::time_point::max();
  std::array<std::uint8_t, longest_request> buffer{};
  unsigned long long seen = 0;
  while (!options.count || seen < *options.count) {
    const auto got = socket.receive_until(buffer, deadline);
    if (!got) break;
    if (!is_reply_of_type(buffer.data(), got->length, FORWARD_REPLY)) continue;
    print_forwarded(buffer.data(), got->length, got->from, options.common.json);
    ++seen;
  }
  if (options.count && seen < *options.count) {
    throw no_answer("timed out on " + local.text() + " after " + std::to_string(seen) + " of " +
                    std::to_string(*options.count) + " forward replies");
  }
  return exit_ok;
}

}  // namespace reflector::tools
