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
// /run/user/UID/reflect-stats/check-state where that directory is this
// user's, else /tmp/reflect-stats-UID/check-state.
std::string default_state_file();

// The file's text; nullopt when there is no such file. Its directory is
// made or checked first, as replace_state_file() does; the file must be a
// regular file of this user that no one else may write, and is opened
// without following a link or waiting on a FIFO. Throws
// std::runtime_error naming the path and the reason otherwise.
std::optional<std::string> read_state_file(const std::string& path);

// Replaces the file by one holding text, making its directory (mode 0700)
// if need be. A directory neither this user's nor root's, or that others
// may write to without the sticky bit, is refused: another user could
// swap the file. A directory another user made first in /tmp is refused
// too, saying so. Throws
// std::runtime_error naming the path and the reason.
void replace_state_file(const std::string& path, const std::string& text);

}  // namespace reflector::tools
