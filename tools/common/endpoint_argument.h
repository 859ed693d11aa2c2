// Endpoint arguments as users type them: "host", "host:port", "[v6]:port",
// a bare IPv6 literal, or ":port" where an empty host means every address.
// Host names are resolved; every problem is a usage_error that names it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "protocol/message_layout.h"
#include "tools/common/socket_endpoint.h"

namespace reflector::tools {

enum class address_family { any, ipv4, ipv6 };

struct host_and_port {
  std::string host;                  // empty when only ":port" was given
  std::optional<std::uint16_t> port;  // absent when no port was given
};

// Splits without resolving. Rejects empty text, unbalanced brackets, and
// ports that are not a number from 1 to 65535.
host_and_port split_host_port(const std::string& text);

// Resolves text to one endpoint of the requested family (the first the
// resolver offers). default_port fills a missing port; without one a missing
// port is an error. An empty host is the wildcard address, allowed only when
// wildcard_allowed. what names the argument in messages ("server").
socket_endpoint resolve_endpoint(const std::string& text, std::optional<std::uint16_t> default_port,
                                 address_family family, const std::string& what,
                                 bool wildcard_allowed = false);

// The address family a resolved endpoint forces on a second one, so that
// one socket can speak to both.
address_family family_of(const socket_endpoint& endpoint);

}  // namespace reflector::tools
