// Rows of text cells laid out in columns: the first column left-aligned,
// the others right-aligned, two spaces apart.
#pragma once

#include <string>
#include <vector>

namespace reflector::tools {

class text_columns {
 public:
  void add_row(std::vector<std::string> cells) { rows_.push_back(std::move(cells)); }
  std::string text() const;

 private:
  std::vector<std::vector<std::string>> rows_;
};

}  // namespace reflector::tools
