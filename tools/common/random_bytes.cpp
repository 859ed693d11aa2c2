#include "tools/common/random_bytes.h"

#include <sys/random.h>

#include <cerrno>
#include <system_error>

namespace reflector::tools {

void fill_random(std::span<std::uint8_t> bytes) {
  std::size_t filled = 0;
  while (filled < bytes.size()) {
    const ssize_t got = getrandom(bytes.data() + filled, bytes.size() - filled, 0);
    if (got == -1 && errno == EINTR) continue;
    if (got == -1) throw std::system_error(errno, std::generic_category(), "getrandom");
    filled += static_cast<std::size_t>(got);
  }
}

}  // namespace reflector::tools
