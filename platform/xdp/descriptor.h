// A descriptor closed when it goes out of scope; -1 holds none.
#pragma once

#include <unistd.h>

namespace reflector::xdp {

class descriptor {
 public:
  explicit descriptor(int fd) : fd_(fd) {}
  ~descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  descriptor(const descriptor&) = delete;
  descriptor& operator=(const descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace reflector::xdp
