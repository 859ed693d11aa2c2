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
  std::optional<std::uint64_t> count;
  std::optional<double> timeout_seconds;
  std::optional<std::string> from;
};

// Only replies from this reflector count, when --from names one.
std::optional<socket_endpoint> accepted_sender(const listen_options& options) {
  if (!options.from) return std::nullopt;
  return resolve_endpoint(*options.from, service_port, address_family::any, "--from server");
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
  listen_options options;
  std::string local_text;
  command_line line("reflect listen", listen_help);
  add_client_options(line, options.common, false);
  line.add_count("--count", options.count, 1, 1'000'000'000);
  line.add_seconds("--timeout", options.timeout_seconds, 0.001, 86400);
  line.add_text("--from", options.from);
  line.add_positional("[ADDRESS]:PORT", local_text);
  if (!line.parse(args)) return exit_ok;
  const socket_endpoint local = resolve_endpoint(local_text, std::nullopt, options.common.family,
                                                 "listen address", true);
  const auto only_from = accepted_sender(options);
  const datagram_socket socket = open_listener(local, options.common.family);

  const auto deadline = options.timeout_seconds
                            ? clock::now() + std::chrono::duration_cast<clock::duration>(
                                                 std::chrono::duration<double>(*options.timeout_seconds))
                            : clock::time_point::max();
  std::array<std::uint8_t, longest_request> buffer{};
  std::uint64_t seen = 0;
  while (!options.count || seen < *options.count) {
    const auto got = socket.receive_until(buffer, deadline);
    if (!got) break;
    if (!is_reply_of_type(buffer.data(), got->length, FORWARD_REPLY)) continue;
    if (only_from && got->from != *only_from) continue;
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
