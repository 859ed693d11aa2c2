// The FreeBSD rc.d script, run for real by sh. Its copy differs only in the
// line that sources rc.subr: it sources a stand-in whose load_rc_config reads
// a stand-in rc.conf and whose run_rc_command, instead of acting, prints
// what the real one works with (rc.subr(8)): the script's variables after
// ${name}_program and ${name}_flags are applied, and the command line its
// start method runs; then, for start, it runs start_precmd as rc.subr does.
// That line is read as daemon(8) of FreeBSD 13 reads its options. A stand-in
// id(1) knows the accounts each test says exist.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/scratch_directory.h"
#include "tests/support/shell_command.h"

namespace reflector::test {
namespace {

namespace fs = std::filesystem;

const fs::path script = REFLECTOR_RC_SCRIPT;
const std::string sourcing_line = ". /etc/rc.subr";
// The path deploy/CMakeLists.txt rewrites for the install prefix.
const std::string program = "/usr/local/sbin/reflectord";

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void write_file(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> words_of(const std::string& text) {
  std::vector<std::string> words;
  std::istringstream in(text);
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

using command_result = shell_result;

std::string quoted(const std::string& text) { return shell_quoted(text); }
command_result run(const std::string& command) { return run_shell(command); }

// Written for each run; DIR is replaced by the scratch directory.
const std::string stand_in_rc_subr = R"(# Stand-in for /etc/rc.subr.
load_rc_config() {
	rc_config_for=$1
	. 'DIR/rc.conf'
}

run_rc_command() {
	# As rc.subr(8) has it: ${name}_program replaces command, procname is
	# command unless set, ${name}_flags go before command_args.
	eval _program=\$${name}_program
	command=${_program:-$command}
	procname=${procname:-$command}
	eval rc_flags=\$${name}_flags
	eval _enabled=\$${rcvar}
	printf '%s\n' "argument=$1" "rc_config_for=$rc_config_for" "name=$name" \
	    "rcvar=$rcvar" "enabled=$_enabled" "command=$command" \
	    "procname=$procname" "pidfile=$pidfile" \
	    "required_files=$required_files" \
	    "start=$command $rc_flags $command_args"
	if [ "$1" = start ] && [ -n "$start_precmd" ]; then
		eval "$start_precmd" || exit 1
	fi
}

err() {
	_status=$1
	shift
	printf '%s: ERROR: %s\n' "$name" "$*" >&2
	exit "$_status"
}

warn() {
	printf '%s: WARNING: %s\n' "$name" "$*" >&2
}
)";

// Written for each run: id -u answers for the accounts in DIR/accounts.
const std::string stand_in_id = R"(#!/bin/sh
[ "$1" = -u ] && grep -qx -e "$2" 'DIR/accounts' && echo 1001
)";

// The accounts a FreeBSD host with the service installed has.
const std::vector<std::string> usual_accounts{"root", "nobody", "reflectord", "reflector"};

struct script_run {
  command_result result;
  std::string errors;                         // what sh wrote to standard error
  std::map<std::string, std::string> values;  // what run_rc_command printed
};

// The copy of the script, with only its sourcing line pointed at the stand-in.
std::string copy_sourcing(const std::string& original, const fs::path& rc_subr) {
  std::string copy;
  for (const auto& line : lines_of(original)) {
    copy += (line == sourcing_line ? ". " + quoted(rc_subr.string()) : line) + "\n";
  }
  return copy;
}

// Runs the script's copy with `argument` as sh runs an rc.d script, in an
// empty environment so that nothing but rc_conf sets its variables.
void run_script(const std::string& rc_conf, const std::string& argument, script_run& out,
                const std::vector<std::string>& accounts = usual_accounts) {
  // Holds the script's copy, the stand-in rc.subr and rc.conf.
  scratch_directory dir{"rc_script_test"};
  ASSERT_FALSE(dir.path().empty());
  std::string rc_subr = stand_in_rc_subr;
  rc_subr.replace(rc_subr.find("DIR"), 3, dir.path().string());
  write_file(dir.path() / "rc.subr", rc_subr);
  write_file(dir.path() / "rc.conf", rc_conf);
  const fs::path bin = dir.path() / "bin";
  fs::create_directory(bin);
  std::string id = stand_in_id;
  id.replace(id.find("DIR"), 3, dir.path().string());
  write_file(bin / "id", id);
  fs::permissions(bin / "id", fs::perms::owner_all);
  std::string account_lines;
  for (const auto& account : accounts) account_lines += account + "\n";
  write_file(dir.path() / "accounts", account_lines);

  const std::string original = read_file(script);
  const std::string copy = copy_sourcing(original, dir.path() / "rc.subr");
  const auto original_lines = lines_of(original);
  const auto copy_lines = lines_of(copy);
  ASSERT_EQ(copy_lines.size(), original_lines.size());
  std::vector<std::string> changed;
  for (std::size_t i = 0; i < original_lines.size(); ++i) {
    if (copy_lines[i] != original_lines[i]) changed.push_back(original_lines[i]);
  }
  ASSERT_EQ(changed, std::vector<std::string>{sourcing_line})
      << "the script must source " << sourcing_line << " once, on a line of its own";
  write_file(dir.path() / "reflectord", copy);

  const fs::path errors = dir.path() / "errors";
  out.result = run("cd " + quoted(dir.path().string()) + " && env -i PATH=" + quoted(bin.string()) +
                   ":/bin:/usr/bin sh ./reflectord " + quoted(argument) + " 2>" + quoted(errors.string()));
  out.errors = read_file(errors);
  for (const auto& line : lines_of(out.result.output)) {
    const auto equals = line.find('=');
    if (equals != std::string::npos) out.values[line.substr(0, equals)] = line.substr(equals + 1);
  }
  ASSERT_EQ(out.values.count("start"), 1u) << "run_rc_command did not run:\n" << out.errors;
}

// A daemon(8) command line as FreeBSD 13's daemon reads it: short options
// only, these with a value and these without, then the program and its
// arguments.
struct daemon_call {
  std::map<char, std::vector<std::string>> options;  // a flag has one "" per use
  std::vector<std::string> unknown;                  // options daemon(8) would refuse
  std::vector<std::string> program;                  // the program and its arguments
};

daemon_call read_daemon_call(const std::vector<std::string>& words) {
  const std::string with_value = "pPtumosTlR";
  const std::string without_value = "cfHrS";
  daemon_call call;
  std::size_t i = 0;
  for (; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (word == "--") {
      ++i;
      break;
    }
    if (word.size() < 2 || word[0] != '-') break;
    for (std::size_t j = 1; j < word.size(); ++j) {
      const char option = word[j];
      if (with_value.find(option) != std::string::npos) {
        std::string value = word.substr(j + 1);
        if (value.empty()) {
          if (i + 1 == words.size()) {
            call.unknown.push_back(word + " (no value)");
            break;
          }
          value = words[++i];
        }
        call.options[option].push_back(value);
        break;
      }
      if (without_value.find(option) != std::string::npos) {
        call.options[option].push_back("");
      } else {
        call.unknown.push_back(std::string("-") + option + " in " + word);
      }
    }
  }
  call.program.assign(words.begin() + static_cast<std::ptrdiff_t>(i), words.end());
  return call;
}

// The one value given to `option`, or a note of how many there were.
std::string value_of(const daemon_call& call, char option) {
  const auto found = call.options.find(option);
  if (found == call.options.end()) return "(not given)";
  if (found->second.size() != 1) return "(given " + std::to_string(found->second.size()) + " times)";
  return found->second.front();
}

// daemon's arguments from the start method's command line, after the command.
daemon_call daemon_call_of(const script_run& run) {
  auto words = words_of(run.values.at("start"));
  if (!words.empty()) words.erase(words.begin());
  return read_daemon_call(words);
}

TEST(RcScript, ParsesAsShell) {
  const auto syntax = run("sh -n " + quoted(script.string()) + " 2>&1");
  EXPECT_TRUE(syntax.succeeded()) << syntax.output;
}

// rcorder(8) reads these lines: PROVIDE must be the name service(8) and
// rc.conf know it by, the service runs as an unprivileged account so it
// starts after LOGIN (when every account source is up), and rc.shutdown
// stops only scripts that carry the shutdown keyword.
TEST(RcScript, HeaderPlacesItInBootAndShutdown) {
  std::map<std::string, std::vector<std::string>> header;
  for (const auto& line : lines_of(read_file(script))) {
    for (const char* key : {"PROVIDE", "REQUIRE", "KEYWORD"}) {
      const std::string prefix = std::string("# ") + key + ":";
      if (line.rfind(prefix, 0) == 0) {
        for (const auto& word : words_of(line.substr(prefix.size()))) header[key].push_back(word);
      }
    }
  }
  EXPECT_EQ(header["PROVIDE"], std::vector<std::string>{script.filename().string()});
  EXPECT_NE(std::find(header["REQUIRE"].begin(), header["REQUIRE"].end(), "LOGIN"), header["REQUIRE"].end());
  EXPECT_NE(std::find(header["KEYWORD"].begin(), header["KEYWORD"].end(), "shutdown"), header["KEYWORD"].end());
}

// What rc.subr starts and stops. The pid file it checks and signals on stop
// must be daemon's own (-P), and procname daemon, or stop would signal the
// service, which daemon then restarts, or find nothing running at all.
TEST(RcScript, SupervisedByDaemonWhichStopSignals) {
  script_run stop;
  ASSERT_NO_FATAL_FAILURE(run_script("", "stop", stop));
  ASSERT_TRUE(stop.result.succeeded()) << stop.errors;
  EXPECT_EQ(stop.errors, "");

  const auto& v = stop.values;
  EXPECT_EQ(v.at("argument"), "stop");
  EXPECT_EQ(v.at("name"), script.filename().string());
  EXPECT_EQ(v.at("rc_config_for"), v.at("name"));
  EXPECT_EQ(v.at("rcvar"), v.at("name") + "_enable");

  EXPECT_EQ(v.at("command"), "/usr/sbin/daemon");
  EXPECT_EQ(v.at("procname"), v.at("command"));
  const auto start_words = words_of(v.at("start"));
  ASSERT_FALSE(start_words.empty());
  EXPECT_EQ(start_words.front(), v.at("command"));

  const auto call = daemon_call_of(stop);
  EXPECT_EQ(call.unknown, std::vector<std::string>{});
  EXPECT_EQ(value_of(call, 'P'), v.at("pidfile"));
  EXPECT_NE(value_of(call, 'p'), v.at("pidfile"));  // two pid files, one lock each
  EXPECT_EQ(value_of(call, 'f'), "");               // no terminal left open
  EXPECT_EQ(value_of(call, 'T'), v.at("name"));     // syslog tag, implies -S

  // The program that runs is the one start checks for, with no arguments.
  EXPECT_EQ(call.program, std::vector<std::string>{program});
  EXPECT_EQ(v.at("required_files"), program);
}

// rc.conf settings reach daemon's arguments; unset or empty ones leave the
// documented defaults.
TEST(RcScript, SettingsReachDaemon) {
  struct setting_case {
    const char* what;
    const char* rc_conf;
    const char* enabled;
    const char* account;
    const char* restart_delay;
  };
  const setting_case cases[] = {
      {"nothing set", "", "NO", "reflectord", "2"},
      {"all set",
       "reflectord_enable=\"YES\"\nreflectord_account=\"reflector\"\nreflectord_restart_delay=\"7\"\n",
       "YES", "reflector", "7"},
      {"all empty", "reflectord_enable=\"\"\nreflectord_account=\"\"\nreflectord_restart_delay=\"\"\n",
       "NO", "reflectord", "2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    script_run start;
    ASSERT_NO_FATAL_FAILURE(run_script(c.rc_conf, "start", start));
    ASSERT_TRUE(start.result.succeeded()) << start.errors;
    EXPECT_EQ(start.errors, "");
    EXPECT_EQ(start.values.at("argument"), "start");
    EXPECT_EQ(start.values.at("enabled"), c.enabled);

    const auto call = daemon_call_of(start);
    EXPECT_EQ(call.unknown, std::vector<std::string>{});
    EXPECT_EQ(value_of(call, 'u'), c.account);
    EXPECT_EQ(value_of(call, 'R'), c.restart_delay);
    EXPECT_EQ(call.options.count('r'), 0u);  // a one-second delay of its own
  }
}

// The service shares its port with processes of its own account alone, so
// the account must be its own: start refuses one that is missing, saying
// how to make it, and warns of a shared one; stop needs none.
TEST(RcScript, StartWantsAnAccountOfTheServicesOwn) {
  struct account_case {
    const char* what;
    const char* rc_conf;
    std::vector<std::string> accounts;
    const char* argument;
    bool succeeds;
    const char* said;  // on standard error; "" for nothing
  };
  const account_case cases[] = {
      {"its own account", "", usual_accounts, "start", true, ""},
      {"its own account missing", "", {"root", "nobody"}, "start", false,
       "reflectord: ERROR: no account reflectord; make it with: pw useradd -n reflectord"},
      {"stopped without the account", "", {"root", "nobody"}, "stop", true, ""},
      {"a named account missing", "reflectord_account=\"reflector\"\n", {"reflectord"}, "start", false,
       "no account reflector;"},
      {"nobody", "reflectord_account=\"nobody\"\n", usual_accounts, "start", true,
       "reflectord: WARNING: nobody is shared with other programs"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    script_run run;
    ASSERT_NO_FATAL_FAILURE(run_script(c.rc_conf, c.argument, run, c.accounts));
    EXPECT_EQ(run.result.succeeded(), c.succeeds) << run.errors;
    if (*c.said == '\0') {
      EXPECT_EQ(run.errors, "");
    } else {
      EXPECT_NE(run.errors.find(c.said), std::string::npos) << run.errors;
    }
  }
}

}  // namespace
}  // namespace reflector::test
