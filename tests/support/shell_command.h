// Running a shell command from a test and reading what it printed, for
// tests that check files and scripts with the system's own tools.
#pragma once

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <string>

namespace reflector::test {

struct shell_result {
  int status = -1;     // raw wait status; -1 when no shell could be started
  std::string output;  // what the command wrote to standard output

  bool succeeded() const { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }
};

// text as one word for sh, whatever it holds.
inline std::string shell_quoted(const std::string& text) {
  std::string out = "'";
  for (const char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Runs command with sh -c and waits for it; standard error is left alone
// unless the command itself redirects it.
inline shell_result run_shell(const std::string& command) {
  shell_result result;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  std::array<char, 4096> chunk;
  std::size_t got;
  while ((got = std::fread(chunk.data(), 1, chunk.size(), pipe)) > 0) {
    result.output.append(chunk.data(), got);
  }
  result.status = pclose(pipe);
  return result;
}

}  // namespace reflector::test
