// The Debian package, unpacked: what it holds, what it says about itself,
// whether its service runs and answers, whether its units are ones systemd
// accepts (and let the service, the fast path's loader and reflect-stats do
// what they must), and whether its manual pages are clean and agree with
// the tools' --help.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "protocol/endpoint_encoding.h"
#include "protocol/message_layout.h"
#include "protocol/request.h"
#include "tests/support/addresses.h"
#include "tests/support/network_namespace.h"
#include "tests/support/service_instance.h"
#include "tests/support/shell_command.h"
#include "tests/support/udp_socket.h"

namespace reflector::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const fs::path package_dir = REFLECTOR_PACKAGE_DIR;
const fs::path unpacked = REFLECTOR_UNPACKED_DIR;
const fs::path source_dir = REFLECTOR_SOURCE_DIR;

// Whether this build has the XDP fast path, and so whether the package holds
// its loader, unit and manual page.
constexpr bool fast_path_built = REFLECTOR_HAVE_XDP;

std::string quoted(const std::string& text) { return shell_quoted(text); }

// Standard output and standard error together.
shell_result run(const std::string& command) { return run_shell(command + " 2>&1"); }

bool have_program(const std::string& name) {
  return run("command -v " + quoted(name) + " >/dev/null").succeeded();
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

fs::path the_package() {
  for (const auto& entry : fs::directory_iterator(package_dir)) {
    if (entry.path().extension() == ".deb") return entry.path();
  }
  return {};
}

// --- what the package holds ------------------------------------------------

struct archive_entry {
  std::string mode;   // as dpkg-deb -c prints it: -rwxr-xr-x, drwxr-xr-x
  std::string owner;  // root/root
};

std::map<std::string, archive_entry> archive_contents() {
  std::map<std::string, archive_entry> entries;
  const auto listing = run("dpkg-deb -c " + quoted(the_package().string()));
  for (const auto& line : lines_of(listing.output)) {
    std::istringstream fields(line);
    std::string mode, owner, size, date, time, path;
    if (fields >> mode >> owner >> size >> date >> time >> path) {
      entries[path] = archive_entry{mode, owner};
    }
  }
  return entries;
}

TEST(Package, HoldsExactlyTheProgramsUnitPagesAndDocuments) {
  ASSERT_FALSE(the_package().empty()) << "no package in " << package_dir;
  const auto entries = archive_contents();
  std::map<std::string, std::string> expected_files{
      {"./usr/sbin/reflectord", "-rwxr-xr-x"},
      {"./usr/bin/reflect", "-rwxr-xr-x"},
      {"./usr/bin/reflect-bench", "-rwxr-xr-x"},
      {"./usr/sbin/reflect-stats", "-rwxr-xr-x"},
      {"./usr/lib/systemd/system/reflectord.service", "-rw-r--r--"},
      {"./usr/lib/systemd/system/reflect-stats.service", "-rw-r--r--"},
      {"./usr/lib/systemd/system/reflect-stats-check.service", "-rw-r--r--"},
      {"./usr/lib/systemd/system/reflect-stats-check.timer", "-rw-r--r--"},
      {"./usr/share/reflector/reflector-egress.nft", "-rw-r--r--"},
      {"./usr/share/reflector/reflector-alerts.yml", "-rw-r--r--"},
      {"./usr/share/reflector/reflectord-liveness.yaml", "-rw-r--r--"},
      {"./usr/share/man/man8/reflectord.8.gz", "-rw-r--r--"},
      {"./usr/share/man/man8/reflect-stats.8.gz", "-rw-r--r--"},
      {"./usr/share/man/man1/reflect.1.gz", "-rw-r--r--"},
      {"./usr/share/man/man1/reflect-bench.1.gz", "-rw-r--r--"},
      {"./usr/share/doc/reflector/README.md", "-rw-r--r--"},
      {"./usr/share/doc/reflector/protocol.md", "-rw-r--r--"},
      {"./usr/share/doc/reflector/CHANGELOG.md", "-rw-r--r--"},
      {"./usr/share/doc/reflector/copyright", "-rw-r--r--"},
  };
  if (fast_path_built) {
    expected_files.insert({{"./usr/sbin/reflect-xdp", "-rwxr-xr-x"},
                           {"./usr/lib/systemd/system/reflect-xdp@.service", "-rw-r--r--"},
                           {"./usr/share/man/man8/reflect-xdp.8.gz", "-rw-r--r--"}});
  }
  std::map<std::string, std::string> files;
  for (const auto& [path, entry] : entries) {
    EXPECT_EQ(entry.owner, "root/root") << path;
    if (entry.mode.front() == 'd') {
      EXPECT_EQ(entry.mode, "drwxr-xr-x") << path;
    } else {
      files[path] = entry.mode;
    }
  }
  EXPECT_EQ(files, expected_files);
}

// A machine-readable copyright file as paragraphs of fields. A field's value
// is its first line, then its continuation lines without their leading space
// ("." stands for an empty line), joined by newlines.
using control_paragraph = std::map<std::string, std::string>;

std::vector<control_paragraph> control_paragraphs(const std::string& text) {
  std::vector<control_paragraph> paragraphs;
  control_paragraph current;
  std::string field;
  for (const auto& line : lines_of(text)) {
    if (line.find_first_not_of(" \t") == std::string::npos) {
      if (!current.empty()) paragraphs.push_back(current);
      current.clear();
      field.clear();
    } else if (line[0] == ' ' || line[0] == '\t') {
      if (field.empty()) continue;  // a continuation of nothing: no field gains it
      const std::string rest = line.substr(1);
      current[field] += "\n" + (rest == "." ? std::string() : rest);
    } else if (const auto colon = line.find(':'); colon != std::string::npos) {
      field = line.substr(0, colon);
      const auto value = line.find_first_not_of(' ', colon + 1);
      current[field] = value == std::string::npos ? "" : line.substr(value);
    }
  }
  if (!current.empty()) paragraphs.push_back(current);
  return paragraphs;
}

// The words of a text, so that two copies of a licence compare equal however
// they are wrapped, and differ on any changed word.
std::vector<std::string> words_of(const std::string& text) {
  std::vector<std::string> words;
  std::istringstream in(text);
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

TEST(Package, CopyrightFileCarriesTheProjectsLicence) {
  const std::string licence = read_file(source_dir / "LICENSE");
  const std::string holder_prefix = "Copyright (c) ";
  const auto holder_at = licence.find(holder_prefix);
  ASSERT_NE(holder_at, std::string::npos) << "LICENSE names no copyright holder";
  const auto holder_end = licence.find('\n', holder_at);
  const std::string holder =
      licence.substr(holder_at + holder_prefix.size(), holder_end - holder_at - holder_prefix.size());
  const std::string terms = licence.substr(holder_end + 1);

  const auto paragraphs =
      control_paragraphs(read_file(unpacked / "usr/share/doc/reflector/copyright"));
  ASSERT_FALSE(paragraphs.empty()) << "no copyright file in the package";
  const auto& header = paragraphs.front();
  EXPECT_EQ(header.count("Format") ? header.at("Format") : "",
            "https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/");
  EXPECT_EQ(header.count("Upstream-Name") ? header.at("Upstream-Name") : "", "reflector");

  const auto all_files =
      std::find_if(paragraphs.begin(), paragraphs.end(), [](const control_paragraph& p) {
        return p.count("Files") && p.at("Files") == "*";
      });
  ASSERT_NE(all_files, paragraphs.end()) << "no Files: * paragraph";
  ASSERT_TRUE(all_files->count("License") && all_files->count("Copyright"));
  EXPECT_EQ(all_files->at("Copyright"), holder);

  // The licence's text is in the Files paragraph or in a paragraph of its own.
  const std::string& license_field = all_files->at("License");
  const std::string name = license_field.substr(0, license_field.find('\n'));
  EXPECT_EQ(name, "BSD-2-Clause");
  std::string text = license_field.substr(name.size());
  if (words_of(text).empty()) {
    for (const auto& paragraph : paragraphs) {
      if (!paragraph.count("Files") && paragraph.count("License") &&
          paragraph.at("License").rfind(name + "\n", 0) == 0) {
        text = paragraph.at("License").substr(name.size());
      }
    }
  }
  const auto packaged_words = words_of(text);
  const auto licence_words = words_of(terms);
  ASSERT_FALSE(licence_words.empty()) << "LICENSE has no terms after its copyright line";
  const auto [packaged_at, licence_at] = std::mismatch(
      packaged_words.begin(), packaged_words.end(), licence_words.begin(), licence_words.end());
  EXPECT_TRUE(packaged_at == packaged_words.end() && licence_at == licence_words.end())
      << "the packaged licence and LICENSE part at word "
      << (licence_at - licence_words.begin()) + 1 << ": \""
      << (packaged_at == packaged_words.end() ? "(end)" : *packaged_at) << "\" against \""
      << (licence_at == licence_words.end() ? "(end)" : *licence_at) << "\"";
}

TEST(Package, ChangelogLeadsWithThisVersion) {
  const std::string changelog = read_file(unpacked / "usr/share/doc/reflector/CHANGELOG.md");
  const auto lines = lines_of(changelog);
  const auto newest = std::find_if(lines.begin(), lines.end(),
                                   [](const std::string& line) { return line.rfind("## ", 0) == 0; });
  ASSERT_NE(newest, lines.end()) << "no release heading in CHANGELOG.md";
  EXPECT_EQ(words_of(*newest).at(1), REFLECTOR_VERSION) << *newest;
}

std::vector<std::string> packaged_programs() {
  std::vector<std::string> programs{"usr/sbin/reflectord", "usr/bin/reflect",
                                    "usr/bin/reflect-bench", "usr/sbin/reflect-stats"};
  if (fast_path_built) programs.push_back("usr/sbin/reflect-xdp");
  return programs;
}

TEST(Package, ProgramsAreStrippedOfDebugSymbols) {
  for (const auto& program : packaged_programs()) {
    const auto sections = run("LC_ALL=C readelf -S -W " + quoted((unpacked / program).string()));
    ASSERT_TRUE(sections.succeeded()) << program << ": " << sections.output;
    EXPECT_EQ(sections.output.find(".symtab"), std::string::npos) << program;
    EXPECT_EQ(sections.output.find(".debug_"), std::string::npos) << program;
  }
}

std::string control_field(const std::string& field) {
  auto value = run("dpkg-deb -f " + quoted(the_package().string()) + " " + field).output;
  while (!value.empty() && value.back() == '\n') value.pop_back();
  return value;
}

TEST(Package, MetadataNamesTheVersionArchitectureAndLibraryDependencies) {
  ASSERT_FALSE(the_package().empty());
  EXPECT_EQ(control_field("Package"), "reflector");
  EXPECT_EQ(control_field("Version"), REFLECTOR_VERSION);
  auto architecture = run("dpkg --print-architecture").output;
  architecture.erase(architecture.find_last_not_of('\n') + 1);
  EXPECT_EQ(control_field("Architecture"), architecture);
  EXPECT_EQ(control_field("Section"), "net");
  EXPECT_FALSE(control_field("Maintainer").empty());
  EXPECT_FALSE(control_field("Description").empty());

  // The programs need the C library and the C++ runtime, the fast path's
  // loader and reflect-stats libbpf, and reflect-stats' exporter
  // cpp-httplib, nothing else; the versions come from the symbols they use.
  const std::string depends = control_field("Depends");
  std::set<std::string> names;
  const std::regex name(R"((^|,\s*)([a-z0-9][a-z0-9.+-]*))");
  for (auto it = std::sregex_iterator(depends.begin(), depends.end(), name);
       it != std::sregex_iterator(); ++it) {
    names.insert((*it)[2]);
  }
  EXPECT_TRUE(names.count("libc6")) << depends;
  EXPECT_TRUE(names.count("libstdc++6")) << depends;
  for (const auto& n : names) {
    EXPECT_TRUE(n == "libc6" || n == "libstdc++6" || n == "libgcc-s1" ||
                (fast_path_built && n == "libbpf1") || n.rfind("libcpp-httplib", 0) == 0)
        << "unexpected: " << n;
  }
}

TEST(Package, MaintainerScriptsAreExecutableShellScripts) {
  const fs::path control = package_dir / "control";
  fs::remove_all(control);
  ASSERT_TRUE(run("dpkg-deb -e " + quoted(the_package().string()) + " " +
                  quoted(control.string()))
                  .succeeded());
  for (const char* script : {"postinst", "prerm", "postrm"}) {
    const fs::path path = control / script;
    ASSERT_TRUE(fs::exists(path)) << script;
    EXPECT_TRUE((fs::status(path).permissions() & fs::perms::owner_exec) != fs::perms::none)
        << script;
    const auto syntax = run("sh -n " + quoted(path.string()));
    EXPECT_TRUE(syntax.succeeded()) << script << ": " << syntax.output;
  }
}

// --- the unpacked service ----------------------------------------------------

std::vector<std::uint8_t> query(const request_key& key) {
  std::vector<std::uint8_t> message(header_size);
  write_request(message.data(), QUERY, key);
  return message;
}

TEST(UnpackedService, AnswersQueriesOverBothFamiliesAndStopsOnSigterm) {
  REFLECTOR_ENTER_NETNS_OR_SKIP({"192.0.2.10", "2001:db8::10"});
  const fs::path program = unpacked / "usr/sbin/reflectord";
  ASSERT_TRUE(fs::exists(program));
  service_instance service({.program = program.string()});
  ASSERT_TRUE(service.wait_until_answering("192.0.2.10")) << "the packaged reflectord";

  struct family_case {
    const char* client;
    const char* service;
  };
  for (const auto [client_address, service_address] :
       {family_case{"192.0.2.10", "192.0.2.10"}, family_case{"2001:db8::10", "2001:db8::10"}}) {
    SCOPED_TRACE(client_address);
    udp_socket client(client_address);
    const request_key key{{0xaa, 0xbb, 0xcc, 0xdd},
                          {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0a, 0x0b, 0x0c}};
    const auto request = query(key);
    client.send_to(service_address, service_port, request);
    const auto reply = client.receive(5s);
    ASSERT_TRUE(reply.has_value()) << "no reply from the packaged reflectord";
    ASSERT_EQ(reply->bytes.size(), header_size);
    EXPECT_TRUE(std::equal(request.begin(), request.begin() + type_offset, reply->bytes.begin()))
        << "bytes 0-19 must come back unchanged";
    EXPECT_EQ(read_type(reply->bytes.data()), QUERY_REPLY);
    const wire_endpoint seen = decode_endpoint(reply->bytes.data());
    EXPECT_EQ(seen.address, address_of(client_address));
    EXPECT_EQ(port_number(seen), client.local_port());
  }

  EXPECT_TRUE(service.stop_cleanly());
}

// --- the systemd unit --------------------------------------------------------

const fs::path packaged_unit = unpacked / "usr/lib/systemd/system/reflectord.service";

// The packaged unit with ExecStart pointed at the unpacked program, so that
// systemd-analyze can check the command as it would on an installed host.
fs::path unit_for_checks() {
  const fs::path dir = package_dir / "unit-check";
  fs::create_directories(dir);
  std::string unit = read_file(packaged_unit);
  const std::string exec = "ExecStart=/usr/sbin/reflectord";
  const auto at = unit.find(exec);
  if (at != std::string::npos) {
    unit.replace(at, exec.size(), "ExecStart=" + (unpacked / "usr/sbin/reflectord").string());
  }
  const fs::path path = dir / "reflectord.service";
  std::ofstream(path) << unit;
  return path;
}

// systemd-analyze verify on a unit, with the package's manual pages as the
// ones its Documentation= names (or no page check where man is missing).
shell_result systemd_verify(const fs::path& unit) {
  const std::string man_check = have_program("man") ? "" : " --man=no";
  return run("MANPATH=" + quoted((unpacked / "usr/share/man").string()) + " systemd-analyze verify" +
             man_check + " " + quoted(unit.string()));
}

TEST(ServiceUnit, StartsTheInstalledProgram) {
  const std::string unit = read_file(packaged_unit);
  ASSERT_FALSE(unit.empty());
  EXPECT_NE(unit.find("\nExecStart=/usr/sbin/reflectord\n"), std::string::npos);
}

TEST(ServiceUnit, PassesSystemdVerifyWithoutWarnings) {
  if (!have_program("systemd-analyze")) GTEST_SKIP() << "systemd-analyze is not installed";
  // Documentation=man:reflectord(8) is looked up in the package's own pages.
  const auto verify = systemd_verify(unit_for_checks());
  EXPECT_TRUE(verify.succeeded()) << verify.output;
  // Unknown keys and bad values are only warnings to systemd, and ignored.
  EXPECT_EQ(verify.output, "");
}

TEST(ServiceUnit, ExposureScoreStaysAtWhatTheServiceAllows) {
  if (!have_program("systemd-analyze")) GTEST_SKIP() << "systemd-analyze is not installed";
  const auto security =
      run("systemd-analyze security --offline=yes --no-pager " + quoted(unit_for_checks().string()));
  if (security.output.find("--offline") != std::string::npos) {
    GTEST_SKIP() << "this systemd-analyze cannot judge unit files offline";
  }
  std::smatch level;
  ASSERT_TRUE(std::regex_search(security.output, level,
                                std::regex(R"(Overall exposure level for \S+: ([0-9.]+))")))
      << security.output;
  // What is left open is what the service needs: Internet sockets, the
  // host's network, sched_setaffinity, the root directory.
  EXPECT_LE(std::stod(level[1]), 1.2) << security.output;
}

// The unit's SystemCallFilter= lines, evaluated as systemd does: the first
// line decides that the filter is an allow list; later lines add calls, or
// take them away when they start with "~".
class system_call_groups {
 public:
  std::set<std::string> expand(const std::string& name) {
    if (name.empty() || name[0] != '@') return {name};
    if (auto found = groups_.find(name); found != groups_.end()) return found->second;
    std::set<std::string> calls;
    groups_[name] = calls;  // no group contains itself, but do not loop if one did
    const auto listing = run("systemd-analyze syscall-filter --no-pager " + quoted(name));
    for (const auto& line : lines_of(listing.output)) {
      const auto start = line.find_first_not_of(' ');
      if (start == std::string::npos || start == 0 || line[start] == '#') continue;
      for (const auto& call : expand(line.substr(start))) calls.insert(call);
    }
    groups_[name] = calls;
    return calls;
  }

 private:
  std::map<std::string, std::set<std::string>> groups_;
};

// The calls a unit's filter lets through; a filter that starts with a deny
// list is a failure of its own.
std::set<std::string> allowed_system_calls(const fs::path& unit) {
  system_call_groups groups;
  std::set<std::string> allowed;
  bool first = true;
  for (const auto& line : lines_of(read_file(unit))) {
    const std::string key = "SystemCallFilter=";
    if (line.rfind(key, 0) != 0) continue;
    std::string value = line.substr(key.size());
    const bool deny = !value.empty() && value[0] == '~';
    if (deny) value.erase(0, 1);
    EXPECT_FALSE(first && deny) << unit.filename() << ": the filter must be an allow list";
    first = false;
    std::istringstream names(value);
    for (std::string name; names >> name;) {
      for (const auto& call : groups.expand(name)) {
        if (deny) {
          allowed.erase(call);
        } else {
          allowed.insert(call);
        }
      }
    }
  }
  return allowed;
}

TEST(ServiceUnit, SystemCallFilterAllowsEveryCallTheServiceMakes) {
  if (!have_program("systemd-analyze")) GTEST_SKIP() << "systemd-analyze is not installed";
  const auto allowed = allowed_system_calls(packaged_unit);
  ASSERT_FALSE(allowed.empty()) << "no SystemCallFilter= in the unit";
  // What reflectord calls on Linux, from start-up through serving to exit:
  // the loader and C library, thread creation, the signal wait, pinning,
  // the event queue and the batched socket calls.
  const char* needed[] = {
      "execve", "brk", "mmap", "mprotect", "munmap", "madvise", "arch_prctl",
      "set_tid_address", "set_robust_list", "rseq", "prlimit64", "getrandom", "access",
      "openat", "newfstatat", "read", "pread64", "close", "futex", "clone", "clone3",
      "exit", "exit_group", "rt_sigprocmask", "rt_sigaction", "rt_sigtimedwait",
      "sched_getaffinity", "sched_setaffinity", "epoll_create1", "epoll_ctl", "epoll_wait",
      "socket", "setsockopt", "bind", "recvmmsg", "sendmmsg"};
  for (const char* call : needed) EXPECT_TRUE(allowed.count(call)) << call << " is filtered out";
  // And calls it has no business making stay out.
  for (const char* call : {"setuid", "chroot", "mount", "ptrace", "setrlimit", "sched_setscheduler"}) {
    EXPECT_FALSE(allowed.count(call)) << call << " is allowed";
  }
}

TEST(ServiceUnit, LeavesTheCpuAffinityAlone) {
  // Worker i pins itself to CPU i; any restriction makes it exit with 255.
  for (const auto& line : lines_of(read_file(packaged_unit))) {
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    for (const char* setting : {"CPUAffinity=", "AllowedCPUs=", "NUMAPolicy=", "NUMAMask="}) {
      EXPECT_NE(line.rfind(setting, 0), 0u) << line;
    }
  }
}

// --- the fast path's unit ----------------------------------------------------

const fs::path packaged_fast_path_unit = unpacked / "usr/lib/systemd/system/reflect-xdp@.service";
const std::string packaged_loader = "/usr/sbin/reflect-xdp";

// The template unit beside the service's, both with their commands pointed at
// the unpacked programs: systemd-analyze resolves the unit's dependency on
// reflectord.service in the same directory.
fs::path fast_path_unit_for_checks() {
  const fs::path dir = unit_for_checks().parent_path();
  std::string unit = read_file(packaged_fast_path_unit);
  const std::string unpacked_loader = (unpacked / "usr/sbin/reflect-xdp").string();
  for (auto at = unit.find(packaged_loader); at != std::string::npos;
       at = unit.find(packaged_loader, at + unpacked_loader.size())) {
    unit.replace(at, packaged_loader.size(), unpacked_loader);
  }
  const fs::path path = dir / "reflect-xdp@.service";
  std::ofstream(path) << unit;
  return path;
}

// The unit's settings, each key with its values in order, comments left out.
std::multimap<std::string, std::string> unit_settings(const std::string& unit) {
  std::multimap<std::string, std::string> settings;
  for (const auto& line : lines_of(unit)) {
    if (line.empty() || line[0] == '#' || line[0] == ';' || line[0] == '[') continue;
    if (const auto equals = line.find('='); equals != std::string::npos) {
      settings.emplace(line.substr(0, equals), line.substr(equals + 1));
    }
  }
  return settings;
}

std::vector<std::string> values_of(const std::multimap<std::string, std::string>& settings,
                                   const std::string& key) {
  std::vector<std::string> values;
  const auto [first, last] = settings.equal_range(key);
  for (auto it = first; it != last; ++it) values.push_back(it->second);
  return values;
}

TEST(FastPathUnit, RunsTheInstalledLoaderOnlyWhileTheServiceRuns) {
  if (!fast_path_built) GTEST_SKIP() << "this build has no XDP fast path";
  const auto settings = unit_settings(read_file(packaged_fast_path_unit));
  ASSERT_FALSE(settings.empty()) << "no " << packaged_fast_path_unit;
  ASSERT_TRUE(fs::exists(unpacked / packaged_loader.substr(1)));
  // The commands name the loader where the package puts it; the instance
  // is the interface.
  using values = std::vector<std::string>;
  EXPECT_EQ(values_of(settings, "ExecStart"), values{packaged_loader + " attach %i"});
  EXPECT_EQ(values_of(settings, "ExecReload"), values{packaged_loader + " attach %i"});
  EXPECT_EQ(values_of(settings, "ExecStop"), values{packaged_loader + " detach %i"});
  // The fast path answers without the service, so it must come and go with
  // it: started after it, stopped with it, pulled in by it when enabled.
  const auto after = values_of(settings, "After");
  EXPECT_NE(std::find(after.begin(), after.end(), "reflectord.service"), after.end());
  EXPECT_EQ(values_of(settings, "BindsTo"), values{"reflectord.service"});
  EXPECT_EQ(values_of(settings, "WantedBy"), values{"reflectord.service"});
}

TEST(FastPathUnit, PassesSystemdVerifyWithoutWarnings) {
  if (!fast_path_built) GTEST_SKIP() << "this build has no XDP fast path";
  if (!have_program("systemd-analyze")) GTEST_SKIP() << "systemd-analyze is not installed";
  // A template is checked as an instance of itself; Documentation= is looked
  // up in the package's own pages, BindsTo= in the service's unit beside it.
  const auto verify = systemd_verify(fast_path_unit_for_checks());
  EXPECT_TRUE(verify.succeeded()) << verify.output;
  EXPECT_EQ(verify.output, "");
}

TEST(FastPathUnit, ExposureScoreStaysAtWhatTheLoaderNeeds) {
  if (!fast_path_built) GTEST_SKIP() << "this build has no XDP fast path";
  if (!have_program("systemd-analyze")) GTEST_SKIP() << "systemd-analyze is not installed";
  const auto security = run("systemd-analyze security --offline=yes --no-pager " +
                            quoted(fast_path_unit_for_checks().string()));
  if (security.output.find("--offline") != std::string::npos) {
    GTEST_SKIP() << "this systemd-analyze cannot judge unit files offline";
  }
  std::smatch level;
  ASSERT_TRUE(std::regex_search(security.output, level,
                                std::regex(R"(Overall exposure level for \S+: ([0-9.]+))")))
      << security.output;
  // What is left open is what loading and attaching a BPF program takes:
  // root, CAP_BPF, CAP_SYS_ADMIN and CAP_NET_ADMIN, bpf(), netlink, the
  // host's network.
  EXPECT_LE(std::stod(level[1]), 2.0) << security.output;
}

TEST(FastPathUnit, SystemCallFilterAllowsEveryCallTheLoaderMakes) {
  if (!fast_path_built) GTEST_SKIP() << "this build has no XDP fast path";
  if (!have_program("systemd-analyze")) GTEST_SKIP() << "systemd-analyze is not installed";
  const auto allowed = allowed_system_calls(packaged_fast_path_unit);
  ASSERT_FALSE(allowed.empty()) << "no SystemCallFilter= in the unit";
  // The loader and C library, libbpf's loading, pinning and map reads,
  // netlink for interfaces and addresses, the interface lookups, output.
  const char* needed[] = {
      "execve", "brk", "mmap", "mprotect", "munmap", "arch_prctl", "set_tid_address",
      "set_robust_list", "rseq", "prlimit64", "getrandom", "openat", "newfstatat", "fstat",
      "read", "write", "close", "exit_group", "uname", "bpf", "statfs", "mkdir", "mkdirat",
      "unlink", "unlinkat", "rmdir", "getdents64", "socket", "bind", "getsockname",
      "setsockopt", "sendto", "sendmsg", "recvfrom", "recvmsg", "ioctl"};
  for (const char* call : needed) EXPECT_TRUE(allowed.count(call)) << call << " is filtered out";
  for (const char* call : {"setuid", "chroot", "mount", "ptrace", "init_module", "finit_module",
                           "kexec_load", "reboot"}) {
    EXPECT_FALSE(allowed.count(call)) << call << " is allowed";
  }
}

// --- reflect-stats' units ----------------------------------------------------

const fs::path packaged_unit_dir = unpacked / "usr/lib/systemd/system";
const std::string packaged_stats = "/usr/sbin/reflect-stats";
const char* const stats_services[] = {"reflect-stats.service", "reflect-stats-check.service"};

// The exporter, the check and its timer beside the service's unit (which
// the check and the timer name), their commands pointed at the unpacked
// program; returns their directory.
fs::path stats_units_for_checks() {
  const fs::path dir = unit_for_checks().parent_path();
  const std::string unpacked_program = (unpacked / packaged_stats.substr(1)).string();
  for (const char* name : {"reflect-stats.service", "reflect-stats-check.service", "reflect-stats-check.timer"}) {
    std::string unit = read_file(packaged_unit_dir / name);
    for (auto at = unit.find(packaged_stats); at != std::string::npos;
         at = unit.find(packaged_stats, at + unpacked_program.size())) {
      unit.replace(at, packaged_stats.size(), unpacked_program);
    }
    std::ofstream(dir / name) << unit;
  }
  return dir;
}

// A time span as systemd reads it, in microseconds.
std::optional<double> time_span(const std::string& text) {
  const auto parsed = run("systemd-analyze timespan " + quoted(text));
  std::smatch micros;
  if (!parsed.succeeded() || !std::regex_search(parsed.output, micros, std::regex(R"(s: ([0-9]+))"))) {
    return std::nullopt;
  }
  return std::stod(micros[1]);
}

TEST(StatsUnits, PassSystemdVerifyWithoutWarnings) {
  if (!have_program("systemd-analyze")) GTEST_SKIP() << "systemd-analyze is not installed";
  const fs::path dir = stats_units_for_checks();
  for (const char* name : {"reflect-stats.service", "reflect-stats-check.service", "reflect-stats-check.timer"}) {
    const auto verify = systemd_verify(dir / name);
    EXPECT_TRUE(verify.succeeded()) << name << ": " << verify.output;
    EXPECT_EQ(verify.output, "") << name;
  }
}

TEST(StatsUnits, RunTheInstalledProgram) {
  using values = std::vector<std::string>;
  ASSERT_TRUE(fs::exists(unpacked / packaged_stats.substr(1)));
  EXPECT_EQ(values_of(unit_settings(read_file(packaged_unit_dir / "reflect-stats.service")), "ExecStart"),
            values{packaged_stats + " --listen 127.0.0.1:9213"});
  // No --state-file: the default is the runtime directory the unit keeps.
  EXPECT_EQ(values_of(unit_settings(read_file(packaged_unit_dir / "reflect-stats-check.service")), "ExecStart"),
            values{packaged_stats + " --check"});
}

TEST(StatsUnits, LeaveTheServiceAndTheHostsNetworkInSight) {
  // reflect-stats finds the service in /proc, reads its threads, lists the
  // host's sockets and reads /proc/net/snmp. Hidden processes would leave
  // the exporter without workers; a network namespace of its own would show
  // it an empty port 1213, and the check would fail for want of an answer.
  const std::map<std::string, std::vector<std::string>> hiding{
      {"ProtectProc", {"invisible", "noaccess", "ptraceable"}},
      {"ProcSubset", {"pid"}},
      {"PrivateNetwork", {"yes", "true", "on", "1"}},
      {"PrivateUsers", {"yes", "true", "on", "1", "self", "identity"}},
      {"NetworkNamespacePath", {}},
      {"JoinsNamespaceOf", {}},
  };
  for (const char* name : stats_services) {
    const auto settings = unit_settings(read_file(packaged_unit_dir / name));
    ASSERT_FALSE(settings.empty()) << name;
    for (const auto& [key, bad_values] : hiding) {
      for (const auto& value : values_of(settings, key)) {
        const bool bad = bad_values.empty() ||
                         std::find(bad_values.begin(), bad_values.end(), value) != bad_values.end();
        EXPECT_FALSE(bad) << name << ": " << key << "=" << value;
      }
    }
  }
}

TEST(StatsUnits, ExposureScoreStaysAtWhatTheyNeed) {
  if (!have_program("systemd-analyze")) GTEST_SKIP() << "systemd-analyze is not installed";
  const fs::path dir = stats_units_for_checks();
  for (const char* name : stats_services) {
    const auto security = run("systemd-analyze security --offline=yes --no-pager " + quoted((dir / name).string()));
    if (security.output.find("--offline") != std::string::npos) {
      GTEST_SKIP() << "this systemd-analyze cannot judge unit files offline";
    }
    std::smatch level;
    ASSERT_TRUE(std::regex_search(security.output, level,
                                  std::regex(R"(Overall exposure level for \S+: ([0-9.]+))")))
        << security.output;
    // What is left open is what reading the service takes: the full
    // process tree and /proc, Internet and netlink sockets, the host's
    // network (its loopback addresses alone), the root directory.
    EXPECT_LE(std::stod(level[1]), 1.3) << name << "\n" << security.output;
  }
}

TEST(StatsUnits, SystemCallFilterAllowsEveryCallReflectStatsMakes) {
  if (!have_program("systemd-analyze")) GTEST_SKIP() << "systemd-analyze is not installed";
  // The loader and C library, /proc and sock_diag reads, output; the
  // exporter's listening socket and the poll it serves from; the check's
  // QUERY and the replacing of its state file.
  const std::vector<std::string> common{
      "execve", "brk", "mmap", "mprotect", "munmap", "arch_prctl", "set_tid_address",
      "set_robust_list", "rseq", "prlimit64", "getrandom", "access", "openat", "newfstatat",
      "read", "pread64", "readlink", "getdents64", "statfs", "sysinfo", "close", "write",
      "futex", "exit_group", "socket", "sendto", "recvfrom", "poll"};
  const std::map<std::string, std::vector<std::string>> own{
      {"reflect-stats.service",
       {"clone", "clone3", "exit", "madvise", "rt_sigaction", "rt_sigprocmask", "rt_sigtimedwait",
        "setsockopt", "bind", "listen", "accept", "accept4", "getsockname", "getpeername",
        "shutdown", "fcntl", "ioctl", "ppoll"}},
      {"reflect-stats-check.service", {"geteuid", "getpid", "mkdir", "rename", "unlink"}},
  };
  for (const char* name : stats_services) {
    const auto allowed = allowed_system_calls(packaged_unit_dir / name);
    ASSERT_FALSE(allowed.empty()) << name << ": no SystemCallFilter=";
    for (const auto& call : common) EXPECT_TRUE(allowed.count(call)) << name << ": " << call << " is filtered out";
    for (const auto& call : own.at(name)) EXPECT_TRUE(allowed.count(call)) << name << ": " << call << " is filtered out";
    // Reading another process's /proc files takes capabilities, not ptrace().
    for (const char* call : {"ptrace", "process_vm_readv", "setuid", "chroot", "mount", "init_module",
                             "kexec_load", "reboot"}) {
      EXPECT_FALSE(allowed.count(call)) << name << ": " << call << " is allowed";
    }
  }
}

TEST(CheckUnit, KeepsItsStateBetweenRuns) {
  // A oneshot unit stops after each run, and its runtime directory would go
  // with it: every check would then be a first check, which only records
  // the drop counts, and drops would never be reported.
  const auto settings = unit_settings(read_file(packaged_unit_dir / "reflect-stats-check.service"));
  ASSERT_FALSE(settings.empty());
  using values = std::vector<std::string>;
  EXPECT_EQ(values_of(settings, "Type"), values{"oneshot"});
  EXPECT_EQ(values_of(settings, "RuntimeDirectory"), values{"reflect-stats-check"});
  EXPECT_EQ(values_of(settings, "RuntimeDirectoryPreserve"), values{"yes"});
}

TEST(CheckUnit, SecondRunComparesWithTheFirstInTheRuntimeDirectory) {
  REFLECTOR_ENTER_NETNS_OR_SKIP();
  service_instance service({.program = (unpacked / "usr/sbin/reflectord").string()});
  ASSERT_TRUE(service.wait_until_answering());
  // As systemd runs it: RUNTIME_DIRECTORY set, the directory made (0700).
  const fs::path runtime = package_dir / "check-runtime";
  fs::remove_all(runtime);
  fs::create_directories(runtime);
  fs::permissions(runtime, fs::perms::owner_all);
  const std::string command = "RUNTIME_DIRECTORY=" + quoted(runtime.string()) + " " +
                              quoted((unpacked / packaged_stats.substr(1)).string()) + " --check";
  for (const char* expected : {"first check", "no datagrams dropped since the last check"}) {
    const auto check = run(command);
    EXPECT_TRUE(check.succeeded()) << check.output;
    EXPECT_NE(check.output.find(expected), std::string::npos) << check.output;
  }
  EXPECT_TRUE(fs::exists(runtime / "check-state"));
  EXPECT_TRUE(service.stop_cleanly());
}

TEST(CheckTimer, RunsTheCheckOftenWhileTheServiceRuns) {
  if (!have_program("systemd-analyze")) GTEST_SKIP() << "systemd-analyze is not installed";
  const auto timer = unit_settings(read_file(packaged_unit_dir / "reflect-stats-check.timer"));
  const auto check = unit_settings(read_file(packaged_unit_dir / "reflect-stats-check.service"));
  ASSERT_FALSE(timer.empty());
  // Bound to the service like the fast path: started with it, stopped with
  // it, so that a service stopped on purpose raises no alarm.
  using values = std::vector<std::string>;
  EXPECT_EQ(values_of(timer, "BindsTo"), values{"reflectord.service"});
  EXPECT_EQ(values_of(timer, "WantedBy"), values{"reflectord.service"});
  for (const auto* settings : {&timer, &check}) {
    const auto after = values_of(*settings, "After");
    EXPECT_NE(std::find(after.begin(), after.end(), "reflectord.service"), after.end());
  }
  // Every half minute or so, and not stretched to a minute by the default
  // accuracy.
  const auto period = values_of(timer, "OnUnitActiveSec");
  const auto accuracy = values_of(timer, "AccuracySec");
  ASSERT_EQ(period.size(), 1u);
  ASSERT_EQ(accuracy.size(), 1u);
  const auto period_us = time_span(period[0]);
  const auto accuracy_us = time_span(accuracy[0]);
  ASSERT_TRUE(period_us && accuracy_us);
  EXPECT_LE(*period_us, 60e6);
  EXPECT_LE(*accuracy_us, *period_us / 10);
}

// --- the FreeBSD rc.d script -------------------------------------------------

TEST(RcScript, IsValidShell) {
  const auto syntax = run("sh -n " + quoted((source_dir / "deploy/freebsd/reflectord").string()));
  EXPECT_TRUE(syntax.succeeded()) << syntax.output;
}

// --- manual pages ------------------------------------------------------------

std::vector<fs::path> manual_pages() {
  std::vector<fs::path> pages;
  for (const auto& entry : fs::directory_iterator(source_dir / "docs/man")) {
    if (std::regex_match(entry.path().filename().string(), std::regex(R"(.*\.[1-9])"))) {
      pages.push_back(entry.path());
    }
  }
  std::sort(pages.begin(), pages.end());
  return pages;
}

TEST(ManualPages, PassMandocLint) {
  if (!have_program("mandoc")) GTEST_SKIP() << "mandoc is not installed";
  const auto pages = manual_pages();
  ASSERT_FALSE(pages.empty());
  for (const auto& page : pages) {
    // Style notes (such as cross references to pages this host lacks) are
    // not faults; warnings and errors are.
    const auto lint = run("mandoc -Tlint -Wwarning " + quoted(page.string()));
    EXPECT_TRUE(lint.succeeded() && lint.output.empty()) << page.filename() << ":\n" << lint.output;
  }
}

TEST(ManualPages, EveryPageIsPackaged) {
  const auto entries = archive_contents();
  for (const auto& page : manual_pages()) {
    const std::string name = page.filename().string();
    const std::string packaged =
        "./usr/share/man/man" + std::string(1, name.back()) + "/" + name + ".gz";
    // No page for a program the package does not hold.
    const bool expected = fast_path_built || name != "reflect-xdp.8";
    EXPECT_EQ(entries.count(packaged) == 1, expected) << packaged;
  }
}

// Long options (--name) in a text, with "--help" itself left out.
std::set<std::string> long_options(const std::string& text) {
  std::set<std::string> options;
  const std::regex option(R"((^|[^a-z0-9-])(--[a-z][a-z0-9-]*))");
  for (auto it = std::sregex_iterator(text.begin(), text.end(), option);
       it != std::sregex_iterator(); ++it) {
    options.insert((*it)[2]);
  }
  return options;
}

std::string rendered_page(const std::string& name) {
  return run("mandoc -Tascii " + quoted((source_dir / "docs/man" / name).string()) +
             " | col -b")
      .output;
}

struct tool_page {
  const char* program;
  const char* page;
  std::vector<std::string> help_commands;  // each run and its options gathered
};

void PrintTo(const tool_page& tool, std::ostream* out) { *out << tool.page; }

class ToolPage : public testing::TestWithParam<tool_page> {};

TEST_P(ToolPage, NamesTheSameOptionsAsHelp) {
  if (!have_program("mandoc")) GTEST_SKIP() << "mandoc is not installed";
  const auto& tool = GetParam();
  const fs::path program = unpacked / tool.program;
  std::set<std::string> from_help;
  for (const auto& arguments : tool.help_commands) {
    const auto help = run(quoted(program.string()) + " " + arguments);
    ASSERT_TRUE(help.succeeded()) << tool.program << " " << arguments << ": " << help.output;
    const auto options = long_options(help.output);
    from_help.insert(options.begin(), options.end());
  }
  ASSERT_FALSE(from_help.empty());
  const auto from_page = long_options(rendered_page(tool.page));
  EXPECT_EQ(from_page, from_help) << "the page and --help disagree on the options";
}

std::vector<tool_page> tool_pages() {
  std::vector<tool_page> pages{
      tool_page{"usr/bin/reflect", "reflect.1",
                {"--help", "query --help", "forward --help", "listen --help", "nat --help"}},
      tool_page{"usr/bin/reflect-bench", "reflect-bench.1", {"--help"}},
      tool_page{"usr/sbin/reflect-stats", "reflect-stats.8", {"--help"}}};
  if (fast_path_built) {
    pages.push_back(tool_page{"usr/sbin/reflect-xdp", "reflect-xdp.8",
                              {"--help", "attach --help", "detach --help", "status --help",
                               "stats --help"}});
  }
  return pages;
}

INSTANTIATE_TEST_SUITE_P(
    Tools, ToolPage, testing::ValuesIn(tool_pages()),
    [](const testing::TestParamInfo<tool_page>& info) {
      std::string name = info.param.page;
      std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(c); }, '_');
      return name;
    });

}  // namespace
}  // namespace reflector::test
