// The files operators load beside reflect-stats: Prometheus' alerting rules
// (valid, firing on the trouble they name and not on ordinary traffic, on
// metrics the tool exports) and the metrics its manual page lists.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <cctype>
#include <string_view>
#include <set>
#include <sstream>
#include <string>

#include "tests/support/shell_command.h"

namespace reflector::test {
namespace {

namespace fs = std::filesystem;

const fs::path source_dir = REFLECTOR_SOURCE_DIR;
const fs::path alert_rules = source_dir / "deploy/prometheus/reflector-alerts.yml";
const fs::path alert_cases = source_dir / "tests/deploy/reflector-alerts-test.yml";

std::string read_file(const fs::path& path) {
  std::ifstream in(path);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// Standard output and standard error together.
shell_result run(const std::string& command) { return run_shell(command + " 2>&1"); }

bool have_program(const std::string& name) {
  return run("command -v " + shell_quoted(name) + " >/dev/null").succeeded();
}

bool word_character(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_'; }

// The whole words of lower-case letters, digits and underscores that start
// with one of the prefixes; with quoted, only those standing alone between
// double quotes.
std::set<std::string> words_starting(const std::string& text, std::initializer_list<std::string_view> prefixes,
                                     bool quoted = false) {
  std::set<std::string> found;
  std::size_t at = 0;
  while (at < text.size()) {
    if (!word_character(text[at])) {
      ++at;
      continue;
    }
    std::size_t end = at;
    while (end < text.size() && word_character(text[end])) ++end;
    const std::string word = text.substr(at, end - at);
    const bool standalone = at == 0 || !std::isalnum(static_cast<unsigned char>(text[at - 1]));
    const bool in_quotes = at > 0 && text[at - 1] == '"' && end < text.size() && text[end] == '"';
    for (const auto prefix : prefixes) {
      // A bare "passed_" is the stem of a pattern ("passed_.*"), no name.
      const bool stem_alone = word == prefix && prefix.ends_with('_');
      if (word.starts_with(prefix) && !stem_alone && standalone && (!quoted || in_quotes)) found.insert(word);
    }
    at = end;
  }
  return found;
}

// The metric names reflect-stats writes, from the source that writes them:
// the fast path's families appear only while it is attached, so no one run
// shows them all.
std::set<std::string> exported_metrics() {
  return words_starting(read_file(source_dir / "tools/reflect_stats/stats_prometheus.cpp"), {"reflector_"}, true);
}

std::set<std::string> fast_path_reasons() {
  return words_starting(read_file(source_dir / "tools/reflect_xdp/counter_report.cpp"),
                        {"answered", "dropped_", "passed_"}, true);
}

// The rules without their comments, which may name anything.
std::string rules_without_comments() {
  std::istringstream in(read_file(alert_rules));
  std::string kept;
  for (std::string line; std::getline(in, line);) {
    const auto start = line.find_first_not_of(' ');
    if (start != std::string::npos && line[start] == '#') continue;
    kept += line + "\n";
  }
  return kept;
}

TEST(AlertRules, PassPromtoolCheck) {
  if (!have_program("promtool")) GTEST_SKIP() << "promtool is not installed (Debian: prometheus)";
  const auto check = run("promtool check rules " + shell_quoted(alert_rules.string()));
  EXPECT_TRUE(check.succeeded()) << check.output;
}

TEST(AlertRules, FireOnTroubleAndStayQuietOnOrdinaryTraffic) {
  if (!have_program("promtool")) GTEST_SKIP() << "promtool is not installed (Debian: prometheus)";
  // The cases name the rules by a path relative to themselves.
  const auto test = run("promtool test rules " + shell_quoted(alert_cases.string()));
  EXPECT_TRUE(test.succeeded()) << test.output;
}

TEST(AlertRules, UseOnlyMetricsAndReasonsTheToolsExport) {
  const auto exported = exported_metrics();
  ASSERT_GT(exported.size(), 10u) << "no metric names found in stats_prometheus.cpp";
  const std::string rules = rules_without_comments();
  const auto used = words_starting(rules, {"reflector_"});
  ASSERT_FALSE(used.empty());
  for (const auto& name : used) EXPECT_TRUE(exported.contains(name)) << name << " is not exported";

  // A misspelt reason in a matcher matches nothing, and the alert never fires.
  const auto reasons = fast_path_reasons();
  ASSERT_TRUE(reasons.contains("answered") && reasons.contains("passed_other"));
  for (const auto& reason : words_starting(rules, {"answered", "dropped_", "passed_"})) {
    EXPECT_TRUE(reasons.contains(reason)) << reason << " is no fast-path reason";
  }
}

TEST(ManualPage, ListsExactlyTheMetricsTheToolExports) {
  if (!have_program("mandoc")) GTEST_SKIP() << "mandoc is not installed";
  const auto page = run("mandoc -Tascii " + shell_quoted((source_dir / "docs/man/reflect-stats.8").string()) +
                        " | col -b");
  ASSERT_TRUE(page.succeeded()) << page.output;
  const auto listed = words_starting(page.output, {"reflector_"});
  EXPECT_EQ(listed, exported_metrics());
}

}  // namespace
}  // namespace reflector::test
