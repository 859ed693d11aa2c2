// Fills bytes from the system's random source, so that transaction ids are
// not guessable by an off-path sender. Throws std::system_error on failure.
#pragma once

#include <cstdint>
#include <span>

namespace reflector::tools {

void fill_random(std::span<std::uint8_t> bytes);

}  // namespace reflector::tools
