// Control data laid out by hand, record after record as the kernel lays it
// out, for tests of the code that reads ancillary data: whole records, and
// the broken ones (too short, cut off by the buffer) that must be refused.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace reflector::test {

struct control_record {
  int level;
  int type;
  std::vector<std::uint8_t> data;
  std::size_t length;  // cmsg_len, which may disagree with data
};

// A record whose length says exactly what it holds.
inline control_record whole_record(int level, int type, std::vector<std::uint8_t> data) {
  const std::size_t length = CMSG_LEN(data.size());
  return {level, type, std::move(data), length};
}

class control_buffer {
 public:
  explicit control_buffer(const std::vector<control_record>& records) {
    for (const control_record& r : records) {
      auto* c = reinterpret_cast<cmsghdr*>(bytes_ + used_);
      c->cmsg_level = r.level;
      c->cmsg_type = r.type;
      c->cmsg_len = r.length;
      if (!r.data.empty()) std::memcpy(CMSG_DATA(c), r.data.data(), r.data.size());
      used_ += CMSG_SPACE(r.data.size());
    }
  }

  // A received message's header over the records, with cut_to bytes of
  // control data offered (0: all the records take).
  msghdr message(std::size_t cut_to = 0) {
    msghdr header{};
    header.msg_control = bytes_;
    header.msg_controllen = static_cast<socklen_t>(cut_to != 0 ? cut_to : used_);
    return header;
  }

 private:
  alignas(cmsghdr) std::uint8_t bytes_[512]{};
  std::size_t used_ = 0;
};

}  // namespace reflector::test
