// The exporter's listening socket: bound and listening before it says it
// serves, so that a port already taken ends it at once.
#pragma once

#include <cstdint>
#include <string>

namespace reflector::tools {

// A non-blocking TCP socket listening on host (a name or address; "::"
// takes IPv4 as well where the system lets it) and port. Throws
// usage_error naming shown (the argument as given) and the system's reason
// when no address of host can be bound.
int listen_tcp(const std::string& host, std::uint16_t port, const std::string& shown);

}  // namespace reflector::tools
