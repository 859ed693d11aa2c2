#include "tools/reflect_stats/service_users.h"

#include <pwd.h>

namespace reflector::tools {

std::vector<uid_t> service_users() {
  std::vector<uid_t> users{0};
  if (const passwd* entry = getpwnam(service_user); entry && entry->pw_uid != 0) users.push_back(entry->pw_uid);
  return users;
}

}  // namespace reflector::tools
