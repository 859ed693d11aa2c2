#include <sys/param.h>
#include <sys/file.h>
#include <sys/sysctl.h>

#include <cerrno>
#include <set>

#include "platform/socket_owners.h"

namespace reflector {
namespace {

// Every open descriptor of every process this user may see. Descriptors
// opened between the sizing call and the read make the read fail with
// ENOMEM; then it is sized again. Empty when the list cannot be read, or
// holds records of another size than this build's.
std::vector<struct xfile> open_files() {
  int name[] = {CTL_KERN, KERN_FILE};
  for (;;) {
    std::size_t size = 0;
    if (sysctl(name, 2, nullptr, &size, nullptr, 0) == -1) return {};
    const std::size_t listed = size / sizeof(struct xfile);
    std::vector<struct xfile> files(listed + listed / 4 + 16);
    size = files.size() * sizeof(struct xfile);
    if (sysctl(name, 2, files.data(), &size, nullptr, 0) == 0) {
      if (size % sizeof(struct xfile) != 0) return {};
      files.resize(size / sizeof(struct xfile));
      return files;
    }
    if (errno != ENOMEM) return {};
  }
}

}  // namespace

std::map<std::uint64_t, socket_owner> socket_owners(const std::vector<std::uint64_t>& ids,
                                                    thread_matches& remembered) {
  remembered.clear();  // no thread is ever matched here
  const std::set<std::uint64_t> wanted(ids.begin(), ids.end());
  std::map<std::uint64_t, socket_owner> owners;
  for (const struct xfile& file : open_files()) {
    if (file.xf_size != sizeof(struct xfile) || file.xf_type != DTYPE_SOCKET) continue;
    // A socket shared by several processes (inherited, or passed) keeps the
    // first holder listed.
    if (wanted.contains(file.xf_data)) owners.emplace(file.xf_data, socket_owner{file.xf_pid, std::nullopt});
  }
  return owners;
}

}  // namespace reflector
