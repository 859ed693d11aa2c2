// Network namespaces beside the test's own, for services that must not
// share a port with each other, joined to the test's namespace by veth
// pairs. Each lives as long as its object; nothing is named or left behind.
#pragma once

#include <string>
#include <vector>

namespace reflector::test {

// Runs a command (searched in PATH) and throws std::runtime_error naming it
// when it cannot be run or does not exit with status 0.
void run_command(const std::vector<std::string>& argv);

class side_namespace {
 public:
  side_namespace();  // a fresh namespace with lo up
  ~side_namespace();
  side_namespace(const side_namespace&) = delete;
  side_namespace& operator=(const side_namespace&) = delete;

  // The calling thread moves into this namespace while an object lives, and
  // back to where it was after; children started meanwhile stay inside.
  class inside {
   public:
    explicit inside(const side_namespace& where);
    ~inside();
    inside(const inside&) = delete;
    inside& operator=(const inside&) = delete;

   private:
    int home_;
  };

  // A path that 'ip link ... netns' accepts for this namespace.
  std::string path() const;

 private:
  int fd_;
};

}  // namespace reflector::test
