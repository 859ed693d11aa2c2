#include "tools/common/endpoint_argument.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <algorithm>
#include <memory>

#include "tools/common/shown_argument.h"
#include "tools/common/tool_errors.h"

namespace reflector::tools {
namespace {

std::uint16_t parse_port(const std::string& port_text, const std::string& whole) {
  if (port_text.empty()) throw usage_error("missing port after ':' in " + quoted_argument(whole));
  if (port_text.find_first_not_of("0123456789") != std::string::npos || port_text.size() > 5) {
    throw usage_error("bad port " + quoted_argument(port_text) + " in " + quoted_argument(whole) +
                      ": ports are 1 to 65535");
  }
  const unsigned long port = std::stoul(port_text);
  if (port == 0 || port > 65535) {
    throw usage_error("bad port " + port_text + " in " + quoted_argument(whole) + ": ports are 1 to 65535");
  }
  return static_cast<std::uint16_t>(port);
}

host_and_port split_bracketed(const std::string& text) {
  const auto close = text.find(']');
  if (close == std::string::npos) throw usage_error("missing ']' in " + quoted_argument(text));
  host_and_port parts{text.substr(1, close - 1), std::nullopt};
  if (parts.host.empty()) throw usage_error("empty address in " + quoted_argument(text));
  const std::string rest = text.substr(close + 1);
  if (rest.empty()) return parts;
  if (rest[0] != ':') {
    throw usage_error("unexpected " + quoted_argument(rest) + " after ']' in " + quoted_argument(text));
  }
  parts.port = parse_port(rest.substr(1), text);
  return parts;
}

bool is_address_literal(const std::string& host, int family) {
  unsigned char buffer[16];
  return inet_pton(family, host.c_str(), buffer) == 1;
}

int to_ai_family(address_family family) {
  switch (family) {
    case address_family::ipv4: return AF_INET;
    case address_family::ipv6: return AF_INET6;
    case address_family::any: return AF_UNSPEC;
  }
  return AF_UNSPEC;
}

void reject_family_mismatch(const std::string& host, address_family family,
                            const std::string& what) {
  if (family == address_family::ipv4 && is_address_literal(host, AF_INET6)) {
    throw usage_error(what + " " + quoted_argument(host) + " is an IPv6 address, but IPv4 was asked for");
  }
  if (family == address_family::ipv6 && is_address_literal(host, AF_INET)) {
    throw usage_error(what + " " + quoted_argument(host) + " is an IPv4 address, but IPv6 was asked for");
  }
}

// Every failed lookup reads one way: "cannot resolve server 'x': reason".
usage_error unresolved(const std::string& what, const std::string& host, const std::string& reason) {
  return usage_error("cannot resolve " + what + " " + quoted_argument(host) + ": " + reason);
}

std::string resolver_reason(int rc) {
  switch (rc) {
    case EAI_NONAME:
    case EAI_NODATA: return "no such host";
    case EAI_ADDRFAMILY: return "it has no address of the family asked for";
    default: return gai_strerror(rc);
  }
}

bool is_bare_ipv6(const std::string& text) {
  return text[0] != '[' && std::count(text.begin(), text.end(), ':') > 1;
}

socket_endpoint look_up(const std::string& host, std::uint16_t port, address_family family,
                        const std::string& what) {
  reject_family_mismatch(host, family, what);
  addrinfo hints{};
  hints.ai_family = to_ai_family(family);
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  if (rc != 0) throw unresolved(what, host, resolver_reason(rc));
  std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> owner(found, freeaddrinfo);
  for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family == AF_INET || entry->ai_family == AF_INET6) {
      return socket_endpoint::from_sockaddr(entry->ai_addr, entry->ai_addrlen);
    }
  }
  throw unresolved(what, host, "it has no IPv4 or IPv6 address");
}

}  // namespace

host_and_port split_host_port(const std::string& text) {
  if (text.empty()) throw usage_error("empty address");
  if (text[0] == '[') return split_bracketed(text);
  const auto first_colon = text.find(':');
  if (first_colon == std::string::npos) return {text, std::nullopt};
  if (text.find(':', first_colon + 1) != std::string::npos) {
    return {text, std::nullopt};  // a bare IPv6 literal: no room for a port
  }
  return {text.substr(0, first_colon), parse_port(text.substr(first_colon + 1), text)};
}

socket_endpoint resolve_endpoint(const std::string& text, std::optional<std::uint16_t> default_port,
                                 address_family family, const std::string& what,
                                 bool wildcard_allowed) {
  const host_and_port parts = split_host_port(text);
  if (!parts.port && !default_port) {
    // An IPv6 address without brackets is the address alone, for every
    // command: a trailing ":1213" is read as part of it, never as a port.
    if (is_bare_ipv6(text)) {
      throw usage_error("missing port in " + what + " " + quoted_argument(text) +
                        ": an IPv6 address takes a port only in brackets, [ADDRESS]:PORT");
    }
    throw usage_error("missing port in " + what + " " + quoted_argument(text) +
                      " (write host:port or [v6]:port)");
  }
  const std::uint16_t port = parts.port ? *parts.port : *default_port;
  if (parts.host.empty()) {
    if (!wildcard_allowed) throw usage_error("missing host in " + what + " " + quoted_argument(text));
    return socket_endpoint::wildcard(family == address_family::ipv4 ? AF_INET : AF_INET6, port);
  }
  return look_up(parts.host, port, family, what);
}

address_family family_of(const socket_endpoint& endpoint) {
  return endpoint.family() == AF_INET ? address_family::ipv4 : address_family::ipv6;
}

}  // namespace reflector::tools
