// Must fail to link on FreeBSD: epoll_create1 is Linux's, and no FreeBSD
// library defines it.
#include <string>

extern "C" int epoll_create1(int flags);

int main(int argc, char**) {
  const std::string name(static_cast<std::size_t>(argc), 'x');
  return epoll_create1(0) + static_cast<int>(name.size());
}
