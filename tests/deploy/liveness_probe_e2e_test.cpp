// The Kubernetes example's liveness probe, run as the kubelet would run it
// in the pod: its command, word for word, against this build's reflectord
// in a network namespace of the test's own, with the example's emptyDir
// stood in for by a directory every user may write to, as an emptyDir is.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/network_namespace.h"
#include "tests/support/service_instance.h"
#include "tests/support/shell_command.h"

namespace reflector::test {
namespace {

namespace fs = std::filesystem;

const fs::path example = REFLECTOR_LIVENESS_EXAMPLE;
const std::string stats_program = REFLECT_STATS_PATH;

struct probe {
  std::vector<std::string> command;
  std::vector<std::string> empty_dir_mounts;  // where the pod's emptyDirs are mounted
};

// The first container's liveness command and its emptyDir mount paths, one
// a line after a tag, read with Python's YAML parser.
std::optional<probe> read_probe(std::string& problem) {
  const std::string script =
      "import sys, yaml\n"
      "pod = yaml.safe_load(open(sys.argv[1]))\n"
      "empty = {v['name'] for v in pod.get('volumes', []) if 'emptyDir' in v}\n"
      "container = pod['containers'][0]\n"
      "for word in container['livenessProbe']['exec']['command']: print('arg', word)\n"
      "for mount in container.get('volumeMounts', []):\n"
      "    if mount['name'] in empty: print('mount', mount['mountPath'])\n";
  const auto parsed = run_shell("python3 -c " + shell_quoted(script) + " " + shell_quoted(example.string()) + " 2>&1");
  if (!parsed.succeeded()) {
    problem = parsed.output;
    return std::nullopt;
  }
  probe found;
  std::istringstream lines(parsed.output);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("arg ", 0) == 0) found.command.push_back(line.substr(4));
    if (line.rfind("mount ", 0) == 0) found.empty_dir_mounts.push_back(line.substr(6));
  }
  return found;
}

bool have_python_yaml() { return run_shell("python3 -c 'import yaml' >/dev/null 2>&1").succeeded(); }

TEST(KubernetesExample, LivenessProbeIsHealthyAgainstARunningService) {
  if (!have_python_yaml()) GTEST_SKIP() << "python3 with its YAML module is not installed (Debian: python3-yaml)";
  std::string problem;
  const auto found = read_probe(problem);
  ASSERT_TRUE(found.has_value()) << example << " does not parse: " << problem;
  ASSERT_GE(found->command.size(), 2u);
  EXPECT_EQ(found->command[0], "reflect-stats");
  REFLECTOR_ENTER_NETNS_OR_SKIP();

  // The emptyDir: world-writable, no sticky bit.
  const fs::path scratch = fs::temp_directory_path() / ("liveness-probe-" + std::to_string(getpid()));
  fs::remove_all(scratch);
  fs::create_directories(scratch);
  ASSERT_EQ(chmod(scratch.c_str(), 0777), 0);

  // The pod's paths under an emptyDir, moved into the stand-in.
  std::string command = shell_quoted(stats_program);
  for (std::size_t i = 1; i < found->command.size(); ++i) {
    std::string word = found->command[i];
    for (const auto& mount : found->empty_dir_mounts) {
      if (word.rfind(mount + "/", 0) == 0) word = scratch.string() + word.substr(mount.size());
    }
    command.append(1, ' ').append(shell_quoted(word));
  }

  service_instance service;
  ASSERT_TRUE(service.wait_until_answering());
  // The first probe records the drop counts, the second compares with them;
  // both must pass, or the kubelet would restart a sound container.
  for (const char* expected : {"first check", "no datagrams dropped since the last check"}) {
    const auto result = run_shell(command + " 2>&1");
    EXPECT_TRUE(result.succeeded()) << command << ":\n" << result.output;
    EXPECT_NE(result.output.find(expected), std::string::npos) << result.output;
  }
  EXPECT_TRUE(service.stop_cleanly());
  fs::remove_all(scratch);
}

}  // namespace
}  // namespace reflector::test
