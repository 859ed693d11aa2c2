// The health check's runtime file: where it lives by default, and reading
// and replacing it whole, so that a check that is cut short leaves the last
// complete state behind.
#pragma once

#include <optional>
#include <string>

namespace reflector::tools {

// $RUNTIME_DIRECTORY/check-state under systemd (RuntimeDirectory=), else
// /run/reflect-stats/check-state for root, else
// $XDG_RUNTIME_DIR/reflect-stats/check-state, else
// /tmp/reflect-stats-UID/check-state.
std::string default_state_file();

// The file's text; nullopt when there is no such file. Throws
// std::runtime_error when it exists but cannot be read.
std::optional<std::string> read_state_file(const std::string& path);

// Replaces the file by one holding text, making its directory (mode 0700)
// if need be. A directory this user does not own, or that others may write
// to, is refused: another user could swap the file. Throws
// std::runtime_error naming the path and the reason.
void replace_state_file(const std::string& path, const std::string& text);

}  // namespace reflector::tools
