#include "tools/reflect_stats/service_users.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <optional>
#include <string>

namespace reflector::tools {
namespace {

// The uid systemd gave the unit's dynamic user, from the link it keeps for
// lookups without NSS (/run/systemd is root's): the answer where the
// system's user database has no module for dynamic users.
std::optional<uid_t> dynamic_uid(const char* name) {
  const std::string link = std::string("/run/systemd/dynamic-uid/direct:") + name;
  char target[32];
  const ssize_t length = readlink(link.c_str(), target, sizeof target);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target) return std::nullopt;
  uid_t uid = 0;
  const auto [end, error] = std::from_chars(target, target + length, uid);
  if (error != std::errc() || end != target + length) return std::nullopt;
  return uid;
}

}  // namespace

std::vector<uid_t> service_users() {
  std::vector<uid_t> users{0};
  const auto add = [&users](uid_t uid) {
    if (std::find(users.begin(), users.end(), uid) == users.end()) users.push_back(uid);
  };
  if (const passwd* entry = getpwnam(service_user)) add(entry->pw_uid);
  if (const auto uid = dynamic_uid(service_user)) add(*uid);
  return users;
}

}  // namespace reflector::tools
