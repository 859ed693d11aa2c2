// A fresh directory of a test's own under the system's temporary
// directory, removed with everything in it when the object goes. Its path
// is empty when none could be made.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

namespace reflector::test {

class scratch_directory {
 public:
  explicit scratch_directory(const std::string& prefix) {
    std::string name = (std::filesystem::temp_directory_path() / (prefix + ".XXXXXX")).string();
    if (mkdtemp(name.data()) != nullptr) path_ = name;
  }
  ~scratch_directory() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  scratch_directory(const scratch_directory&) = delete;
  scratch_directory& operator=(const scratch_directory&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace reflector::test
