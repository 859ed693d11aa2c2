// Links on FreeBSD: libc++ (through the stand-in) and libc only.
#include <sys/event.h>

#include <stdexcept>
#include <string>

int main(int argc, char**) {
  const std::string name(static_cast<std::size_t>(argc), 'x');
  if (name.empty()) throw std::runtime_error("no arguments");
  return kqueue1(0) < 0 ? 1 : 0;
}
