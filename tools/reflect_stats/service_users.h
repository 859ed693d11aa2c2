// The users the service runs as: root, and the user reflectord that its
// unit makes (DynamicUser=; it exists while the service runs). No other
// user can start a process as either, so neither a process another user
// names reflectord nor a socket another user binds to port 1213 (which,
// at 1024 or above, any user may bind while it is free) passes for the
// service.
#pragma once

#include <sys/types.h>

#include <vector>

namespace reflector::tools {

inline constexpr const char* service_user = "reflectord";

// Root's uid, and the service user's where it exists now: by name, or
// where the user database cannot resolve dynamic users, from systemd's own
// record of them.
std::vector<uid_t> service_users();

}  // namespace reflector::tools
