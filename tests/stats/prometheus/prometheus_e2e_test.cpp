// reflect-stats as a Prometheus server sees it: a real server scrapes
// reflect-stats --listen beside a running service, promtool lints both the
// printed and the served text, and --listen starts and stops the way a
// service manager expects. Each test process has a network namespace of its
// own, so ports 9213 (reflect-stats) and 9090 (Prometheus) are its alone.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "protocol/message_layout.h"
#include "tests/support/child_process.h"
#include "tests/support/json_value.h"
#include "tests/support/network_namespace.h"
#include "tests/support/proc_readings.h"
#include "tests/support/reflection_exchange.h"
#include "tests/support/service_instance.h"
#include "tests/support/shell_command.h"
#include "tests/support/udp_socket.h"
#include "tests/support/usable_cpus.h"
#include "tests/tools/tool_run.h"

namespace reflector::test {
namespace {

using namespace std::chrono_literals;

constexpr const char* stats_listen = "127.0.0.1:9213";
constexpr std::uint16_t stats_port = 9213;
constexpr std::uint16_t prometheus_port = 9090;
const std::string serving_line = std::string("serving /metrics on ") + stats_listen + "\n";

testing::AssertionResult installed(const char* path) {
  if (access(path, X_OK) == 0) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "no " << path
                                     << ": these tests need the Debian package prometheus installed";
}

// A scratch directory, removed with everything in it.
class temp_directory {
 public:
  temp_directory() {
    std::string name = (std::filesystem::temp_directory_path() / "reflect-stats-prometheus-XXXXXX").string();
    if (mkdtemp(name.data()) == nullptr) throw std::runtime_error("mkdtemp: " + std::string(strerror(errno)));
    path_ = name;
  }
  ~temp_directory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  temp_directory(const temp_directory&) = delete;
  temp_directory& operator=(const temp_directory&) = delete;

  std::filesystem::path write(const std::string& name, const std::string& text) const {
    const std::filesystem::path file = path_ / name;
    std::ofstream(file, std::ios::binary) << text;
    return file;
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// A program left running while the test talks to it, its stdout and stderr
// readable at any moment; input_fd, when given, becomes its standard input.
// Killed and reaped when the object goes.
class background_program {
 public:
  background_program(const std::string& path, const std::vector<std::string>& args,
                     const std::vector<std::string>& environment, int input_fd = -1) {
    const int out_fd = out_.fd();
    const int err_fd = err_.fd();
    process_.emplace(child_process::start(path, args, environment, [input_fd, out_fd, err_fd] {
      if (input_fd != -1) dup2(input_fd, STDIN_FILENO);
      dup2(out_fd, STDOUT_FILENO);
      dup2(err_fd, STDERR_FILENO);
    }));
  }
  background_program(const background_program&) = delete;
  background_program& operator=(const background_program&) = delete;

  std::string out() const { return out_.text(); }
  std::string err() const { return err_.text(); }
  bool running() { return process_ && process_->running(); }
  pid_t pid() const { return process_ ? process_->pid() : -1; }
  void signal(int signal_number) const {
    if (process_) process_->signal(signal_number);
  }

  // True once stdout holds text; false when the program ends without
  // writing it or the time runs out.
  bool wait_for_output(const std::string& text, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      if (out().find(text) != std::string::npos) return true;
      if (!running() || std::chrono::steady_clock::now() >= deadline) {
        return out().find(text) != std::string::npos;
      }
      std::this_thread::sleep_for(10ms);
    }
  }

  // Waits for the end; past the timeout the program is killed.
  tool_result finish(std::chrono::milliseconds timeout) {
    tool_result result;
    result.status = process_->wait_for_exit(timeout);
    result.out = out();
    result.err = err();
    if (!result.status) process_.reset();
    return result;
  }

  std::string describe() {
    std::string state = "killed";
    if (process_) {
      const std::optional<int> status = process_->wait_for_exit(0ms);
      state = status ? describe_status(*status) : "running";
    }
    return state + "\nstdout: " + out() + "\nstderr: " + err();
  }

 private:
  output_file out_;
  output_file err_;
  std::optional<child_process> process_;  // declared last: ended before the files close
};

// Another program holding 127.0.0.1:port, as a second exporter would.
class tcp_listener {
 public:
  explicit tcp_listener(std::uint16_t port) : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    if (fd_ == -1 || bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd_, 1) != 0) {
      const std::string problem = strerror(errno);
      if (fd_ != -1) close(fd_);
      throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + problem);
    }
  }
  ~tcp_listener() { close(fd_); }
  tcp_listener(const tcp_listener&) = delete;
  tcp_listener& operator=(const tcp_listener&) = delete;

 private:
  int fd_;
};

// Every HTTP exchange is bounded: a peer that hangs fails the test.
void bound(httplib::Client& client) {
  client.set_connection_timeout(2);
  client.set_read_timeout(5);
  client.set_write_timeout(2);
}

httplib::Result http_get(std::uint16_t port, const std::string& path, const httplib::Params& params = {}) {
  httplib::Client client("127.0.0.1", port);
  bound(client);
  return params.empty() ? client.Get(path) : client.Get(path, params, httplib::Headers{});
}

std::string no_answer(const httplib::Result& result) {
  return "no HTTP answer: " + httplib::to_string(result.error());
}

// Sends QUERYs from one socket, each waited for in turn; how many came back.
int answered_queries(const std::string& address, int count) {
  const udp_socket client;
  int answered = 0;
  for (int tag = 1; tag <= count; ++tag) {
    client.send_to(address, service_port, make_request(QUERY, static_cast<std::uint32_t>(tag)));
    if (client.receive(2s)) ++answered;
  }
  return answered;
}

// reflect-stats --listen on 127.0.0.1:9213, once it says it listens.
struct listening_stats {
  background_program program{REFLECT_STATS_PATH, {"--listen", stats_listen}, sanitizer_settings()};
  testing::AssertionResult ready() {
    if (program.wait_for_output(serving_line, 10s)) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "reflect-stats --listen never said it listens: " << program.describe();
  }
};

// A Prometheus server scraping one target every second, its data in a
// scratch directory of its own.
class prometheus_server {
 public:
  explicit prometheus_server(const std::string& target)
      : config_(directory_.write("prometheus.yml", "global:\n"
                                                   "  scrape_interval: 1s\n"
                                                   "  scrape_timeout: 1s\n"
                                                   "scrape_configs:\n"
                                                   "  - job_name: reflect-stats\n"
                                                   "    static_configs:\n"
                                                   "      - targets: ['" +
                                                       target + "']\n")),
        process_(PROMETHEUS_PATH,
                 {"--config.file=" + config_.string(),
                  "--storage.tsdb.path=" + (directory_.path() / "data").string(),
                  "--web.listen-address=127.0.0.1:" + std::to_string(prometheus_port)},
                 {}) {}

  // The value of each series an instant query returns, and the answer's
  // body for messages.
  struct answer {
    std::vector<double> values;
    std::string body;
  };

  answer query(const std::string& promql) {
    answer result;
    const httplib::Result response = http_get(prometheus_port, "/api/v1/query", {{"query", promql}});
    if (!response) {
      result.body = no_answer(response);
      return result;
    }
    result.body = response->body;
    try {
      const json_value document = json_value::parse(response->body);
      if (document["status"].string() != "success") return result;
      for (const json_value& series : document["data"]["result"].array()) {
        result.values.push_back(std::stod(series["value"].array().at(1).string()));
      }
    } catch (const std::exception&) {
      result.values.clear();  // the body says what came instead
    }
    return result;
  }

  // The value of a query that must return exactly one series.
  std::optional<double> value(const std::string& promql) {
    const answer result = query(promql);
    if (result.values.size() == 1) return result.values.front();
    ADD_FAILURE() << "not one series for " << promql << ": " << result.body;
    return std::nullopt;
  }

  // Polls until the query returns a series; false when the server ends or
  // the time runs out.
  bool wait_for_series(const std::string& promql, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      if (!query(promql).values.empty()) return true;
      if (!process_.running()) return false;
      std::this_thread::sleep_for(200ms);
    }
    return false;
  }

  // The type the server took from the family's TYPE line.
  std::string metric_type(const std::string& name) {
    const httplib::Result response = http_get(prometheus_port, "/api/v1/metadata", {{"metric", name}});
    if (!response) return no_answer(response);
    try {
      return json_value::parse(response->body)["data"][name].array().at(0)["type"].string();
    } catch (const std::exception&) {
      return "no type in " + response->body;
    }
  }

  // The targets' state and the server's log, for messages.
  std::string targets() {
    const httplib::Result response = http_get(prometheus_port, "/api/v1/targets");
    return response ? response->body : no_answer(response);
  }
  std::string log() { return process_.describe(); }

 private:
  temp_directory directory_;
  std::filesystem::path config_;
  background_program process_;  // declared last: ended before the directory goes
};

// promtool's verdict on a scrape's text: status 0 and nothing said.
testing::AssertionResult promtool_accepts(const temp_directory& scratch, const std::string& text) {
  static int written = 0;
  const std::filesystem::path file = scratch.write("scrape-" + std::to_string(++written) + ".txt", text);
  const int input = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (input == -1) return testing::AssertionFailure() << "cannot open " << file;
  background_program promtool(PROMTOOL_PATH, {"check", "metrics"}, {}, input);
  close(input);
  const tool_result verdict = promtool.finish(10s);
  if (verdict.exited_with(0) && verdict.out.empty() && verdict.err.empty()) {
    return testing::AssertionSuccess();
  }
  return testing::AssertionFailure() << "promtool check metrics: " << verdict.describe() << "\non:\n" << text;
}

// Each sample's name and labels, without its value.
std::set<std::string> series_of(const std::string& text) {
  std::set<std::string> series;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(at, end - at);
    if (!line.empty() && line[0] != '#') series.insert(line.substr(0, line.rfind(' ')));
    at = end + 1;
  }
  return series;
}

testing::AssertionResult one_line_naming_the_tool(const std::string& err) {
  if (err.rfind("reflect-stats: ", 0) == 0 && std::count(err.begin(), err.end(), '\n') == 1 &&
      err.back() == '\n') {
    return testing::AssertionSuccess();
  }
  return testing::AssertionFailure() << "not one line starting \"reflect-stats: \": \"" << err << "\"";
}

// What a Prometheus server stores from a scrape: the target is up, the
// service found, one worker and one socket per usable CPU with the CPU as
// the worker label, the TYPE lines taken, and the system's UDP counters
// moved by at least the QUERYs sent over each family (a swap of families
// would leave IPv4 short).
TEST(PrometheusServer, StoresTheServicesFigures) {
  REFLECTOR_ENTER_NETNS_OR_SKIP();
  ASSERT_TRUE(installed(PROMETHEUS_PATH));
  const std::vector<int> cpus = usable_cpus();
  ASSERT_FALSE(cpus.empty());
  service_instance service;
  ASSERT_TRUE(service.wait_until_answering());
  ASSERT_TRUE(wait_until_bound(service_port, static_cast<int>(cpus.size()))) << service.output();
  constexpr int ipv4_queries = 40;
  constexpr int ipv6_queries = 5;
  ASSERT_EQ(answered_queries("127.0.0.1", ipv4_queries), ipv4_queries);
  ASSERT_EQ(answered_queries("::1", ipv6_queries), ipv6_queries);

  listening_stats stats;
  ASSERT_TRUE(stats.ready());
  prometheus_server prometheus(stats_listen);
  // The server applies its targets on a 5 s tick, so the first scrape
  // comes some seconds after it starts.
  const std::string up = R"(up{job="reflect-stats"})";
  ASSERT_TRUE(prometheus.wait_for_series(up, 60s)) << "no scrape within 60 s\n" << prometheus.log();
  ASSERT_EQ(prometheus.value(up), 1.0) << prometheus.targets();

  EXPECT_EQ(prometheus.value("reflector_up"), 1.0);
  const double workers = static_cast<double>(cpus.size());
  EXPECT_EQ(prometheus.value("reflector_workers"), workers);
  EXPECT_EQ(prometheus.value("reflector_sockets"), workers);
  std::string cpu_names;
  for (const int cpu : cpus) cpu_names += (cpu_names.empty() ? "" : "|") + std::to_string(cpu);
  EXPECT_EQ(prometheus.value(R"(count(reflector_worker_cpu_seconds_total{worker=~")" + cpu_names + "\"})"),
            workers);
  EXPECT_EQ(prometheus.value(R"(count(reflector_socket_receive_buffer_bytes{worker=~")" + cpu_names + "\"})"),
            workers);
  EXPECT_GE(prometheus.value(R"(reflector_udp_in_datagrams_total{family="ipv4"})").value_or(-1), ipv4_queries);
  EXPECT_GE(prometheus.value(R"(reflector_udp_in_datagrams_total{family="ipv6"})").value_or(-1), ipv6_queries);
  EXPECT_GE(prometheus.value(R"(reflector_udp_out_datagrams_total{family="ipv4"})").value_or(-1), ipv4_queries);
  EXPECT_EQ(prometheus.metric_type("reflector_udp_in_datagrams_total"), "counter");
  EXPECT_EQ(prometheus.metric_type("reflector_workers"), "gauge");

  // Stopped while the server still scrapes it, it ends cleanly.
  stats.program.signal(SIGTERM);
  const tool_result ended = stats.program.finish(3s);
  EXPECT_TRUE(ended.exited_with(0)) << ended.describe();
  EXPECT_TRUE(ended.err.empty()) << ended.err;
  EXPECT_TRUE(service.stop_cleanly());
}

// promtool lints what a server would read, printed and served alike, with
// the service running and once it has stopped (where families drop out);
// the served text carries the format's content type and the same series as
// the printed.
TEST(PrometheusLint, PromtoolFindsNoProblems) {
  REFLECTOR_ENTER_NETNS_OR_SKIP();
  ASSERT_TRUE(installed(PROMTOOL_PATH));
  const temp_directory scratch;
  service_instance service;
  ASSERT_TRUE(service.wait_until_answering());
  ASSERT_EQ(answered_queries("127.0.0.1", 5), 5);

  const tool_result printed = run_tool(REFLECT_STATS_PATH, {"--prometheus"}, 10s);
  ASSERT_TRUE(printed.exited_with(0)) << printed.describe();
  EXPECT_TRUE(printed.err.empty()) << printed.err;
  EXPECT_TRUE(promtool_accepts(scratch, printed.out));

  listening_stats stats;
  ASSERT_TRUE(stats.ready());
  const httplib::Result served = http_get(stats_port, "/metrics");
  ASSERT_TRUE(served) << no_answer(served);
  EXPECT_EQ(served->status, 200);
  const std::string type = served->get_header_value("Content-Type");
  EXPECT_EQ(type.rfind("text/plain; version=0.0.4", 0), 0u) << type;
  EXPECT_TRUE(promtool_accepts(scratch, served->body));
  EXPECT_EQ(series_of(served->body), series_of(printed.out));

  ASSERT_TRUE(service.stop_cleanly());
  const tool_result alone = run_tool(REFLECT_STATS_PATH, {"--prometheus"}, 10s);
  ASSERT_TRUE(alone.exited_with(0)) << alone.describe();
  EXPECT_TRUE(promtool_accepts(scratch, alone.out));
}

// What --listen cannot listen on ends it at once: status 1, one line on
// stderr, and no claim to be serving.
TEST(PrometheusListen, RefusesWhatItCannotListenOn) {
  REFLECTOR_ENTER_NETNS_OR_SKIP();
  const tcp_listener other_exporter(stats_port);
  struct refusal {
    const char* listen;
    const char* why;
  };
  for (const refusal& c : {refusal{"127.0.0.1", "no port"}, refusal{"192.0.2.77:9213", "not a local address"},
                           refusal{stats_listen, "port taken"}}) {
    const tool_result result = run_tool(REFLECT_STATS_PATH, {"--listen", c.listen}, 10s);
    EXPECT_TRUE(result.exited_with(1)) << c.why << ": " << result.describe();
    EXPECT_TRUE(result.out.empty()) << c.why << ": " << result.out;
    EXPECT_TRUE(one_line_naming_the_tool(result.err)) << c.why;
  }
}

// Either stop signal ends --listen at once, with status 0 and nothing on
// stderr, after it has served.
TEST(PrometheusListen, EndsCleanlyOnEitherStopSignal) {
  REFLECTOR_ENTER_NETNS_OR_SKIP();
  struct stop_signal {
    int number;
    const char* name;
  };
  for (const stop_signal stop : {stop_signal{SIGTERM, "SIGTERM"}, stop_signal{SIGINT, "SIGINT"}}) {
    listening_stats stats;
    ASSERT_TRUE(stats.ready());
    EXPECT_EQ(stats.program.out(), serving_line);
    const httplib::Result served = http_get(stats_port, "/metrics");
    ASSERT_TRUE(served) << no_answer(served);
    EXPECT_EQ(served->status, 200);
    stats.program.signal(stop.number);
    const tool_result ended = stats.program.finish(2s);
    EXPECT_TRUE(ended.exited_with(0)) << stop.name << ": " << ended.describe();
    EXPECT_TRUE(ended.err.empty()) << stop.name << ": " << ended.err;
  }
}

// A scraper keeps its connection open between scrapes (Prometheus does, for
// its whole interval: 15 s unless set); a stop must not wait for that
// connection to time out.
TEST(PrometheusListen, StopsPromptlyWithAScrapersConnectionOpen) {
  REFLECTOR_ENTER_NETNS_OR_SKIP();
  listening_stats stats;
  ASSERT_TRUE(stats.ready());
  httplib::Client scraper("127.0.0.1", stats_port);
  bound(scraper);
  scraper.set_keep_alive(true);
  const httplib::Result served = scraper.Get("/metrics");
  ASSERT_TRUE(served) << no_answer(served);
  EXPECT_EQ(served->status, 200);
  stats.program.signal(SIGTERM);
  const tool_result ended = stats.program.finish(2s);
  EXPECT_TRUE(ended.exited_with(0)) << "2 s after SIGTERM, an idle keep-alive connection open: "
                                    << ended.describe();
}

// A TCP connection to the exporter that sends what the test says, as no
// HTTP library would. Every wait is bounded.
class raw_connection {
 public:
  raw_connection() : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(stats_port);
    inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    // A SYN the exporter's queue had no room for is sent again after 1 s.
    const timeval connecting{3, 0};
    const timeval sending{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &connecting, sizeof connecting);
    if (connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      throw std::runtime_error(std::string("cannot connect to the exporter: ") + strerror(errno));
    }
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &sending, sizeof sending);
  }
  ~raw_connection() { close(fd_); }
  raw_connection(const raw_connection&) = delete;
  raw_connection& operator=(const raw_connection&) = delete;

  // False once the exporter no longer takes what is sent.
  bool send_text(std::string_view text) const {
    return send(fd_, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
  }

  // Everything the exporter sends until it closes, or until timeout.
  std::string answer(std::chrono::milliseconds timeout) const {
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (char buffer[4096];;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd readable{fd_, POLLIN, 0};
      if (left.count() <= 0 || poll(&readable, 1, static_cast<int>(left.count())) != 1) return text + "[no close]";
      const ssize_t got = recv(fd_, buffer, sizeof buffer, 0);
      if (got <= 0) return text;
      text.append(buffer, static_cast<std::size_t>(got));
    }
  }

  // Whether the exporter has closed the connection, without waiting.
  bool closed_by_peer() const {
    char byte;
    const ssize_t got = recv(fd_, &byte, 1, MSG_DONTWAIT | MSG_PEEK);
    return got == 0 || (got == -1 && errno != EAGAIN && errno != EWOULDBLOCK);
  }

 private:
  int fd_;
};

std::string status_line(const std::string& answer) { return answer.substr(0, answer.find("\r\n")); }

// Clients that would tie the exporter up or grow it: each refusal comes at
// once, from a few KiB of the request; a client that trickles its request
// is cut off at the request's deadline however often it sends; a crowd of
// such clients does not keep a scrape waiting; a body of hundreds of MiB is
// never read. The exporter is still there, and still small, after them all.
TEST(PrometheusListen, HostileClientsNeitherStallNorGrowIt) {
  REFLECTOR_ENTER_NETNS_OR_SKIP();
  listening_stats stats;
  ASSERT_TRUE(stats.ready());
  const std::uint64_t resident_before = resident_kib(stats.program.pid());
  std::string fields = "GET /metrics HTTP/1.1\r\n";
  for (int i = 0; fields.size() < 20000; ++i) fields += "X-Filler-" + std::to_string(i) + ": " + std::string(60, 'f') + "\r\n";
  struct hostile_request {
    const char* what;
    std::string request;
    const char* status_line;
  };
  const hostile_request requests[] = {
      {"a POST", "POST /metrics HTTP/1.1\r\nHost: a\r\nContent-Length: 5\r\n\r\nhello", "HTTP/1.1 405 Method Not Allowed"},
      {"a PUT", "PUT / HTTP/1.1\r\nHost: a\r\nContent-Length: 0\r\n\r\n", "HTTP/1.1 405 Method Not Allowed"},
      {"a 4 KiB request line", "GET /" + std::string(4096, 'a') + " HTTP/1.1\r\n\r\n", "HTTP/1.1 414 URI Too Long"},
      {"20 KiB of header fields", fields + "\r\n", "HTTP/1.1 431 Request Header Fields Too Large"},
      {"a GET with a large body", "GET /metrics HTTP/1.1\r\nContent-Length: 100000\r\n\r\n", "HTTP/1.1 413 Content Too Large"},
      {"a chunked GET", "GET /metrics HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", "HTTP/1.1 413 Content Too Large"},
      {"no HTTP at all", "HELLO\r\n\r\n", "HTTP/1.1 400 Bad Request"},
      {"a HEAD", "HEAD /metrics HTTP/1.0\r\n\r\n", "HTTP/1.1 200 OK"},
  };
  for (const auto& [what, request, expected] : requests) {
    const raw_connection client;
    ASSERT_TRUE(client.send_text(request)) << what;
    const std::string answer = client.answer(2s);
    EXPECT_EQ(status_line(answer), expected) << what << ":\n" << answer;
    if (std::string(what) == "a HEAD") {
      EXPECT_TRUE(answer.ends_with("\r\n\r\n")) << "a body for HEAD:\n" << answer;
    }
  }

  // A crowd of clients that each send a byte every 250 ms.
  const auto crowd_came = std::chrono::steady_clock::now();
  std::vector<std::unique_ptr<raw_connection>> crowd;
  for (int i = 0; i < 80; ++i) {
    try {
      crowd.push_back(std::make_unique<raw_connection>());
    } catch (const std::runtime_error& error) {
      ADD_FAILURE() << "slow client " << i << ": " << error.what();
      break;
    }
    crowd.back()->send_text("GET /metrics HTTP/1.1\r\nX-Slow: ");
  }
  const auto scrape_asked = std::chrono::steady_clock::now();
  const httplib::Result scraped = http_get(stats_port, "/metrics");
  EXPECT_TRUE(scraped && scraped->status == 200) << "a scrape amid 80 slow clients: " << no_answer(scraped);
  EXPECT_LT(std::chrono::steady_clock::now() - scrape_asked, 2s) << "a scrape amid 80 slow clients";
  std::size_t open = crowd.size();
  while (open > 0 && std::chrono::steady_clock::now() - crowd_came < 7s) {
    std::this_thread::sleep_for(250ms);
    open = 0;
    for (const auto& client : crowd) {
      if (!client->closed_by_peer() && client->send_text("s")) ++open;
    }
  }
  const auto crowd_stayed = std::chrono::steady_clock::now() - crowd_came;
  EXPECT_EQ(open, 0u) << "slow clients still connected after 7 s";
  EXPECT_LT(crowd_stayed, 5s) << "a slow request outlives its 3 s deadline";
  crowd.clear();

  // 64 MiB of a body declared as 512 MiB, as fast as it is taken, for at
  // most 5 s.
  {
    const raw_connection client;
    client.send_text("POST /metrics HTTP/1.1\r\nHost: a\r\nContent-Length: 536870912\r\n\r\n");
    const std::string chunk(1 << 20, 'b');
    const auto give_up = std::chrono::steady_clock::now() + 5s;
    for (int sent = 0; sent < 64 && std::chrono::steady_clock::now() < give_up && client.send_text(chunk); ++sent) {
    }
  }
  const std::uint64_t resident_after = resident_kib(stats.program.pid());
  EXPECT_LT(resident_after, resident_before + 16 * 1024) << "resident KiB before " << resident_before;

  const httplib::Result after = http_get(stats_port, "/metrics");
  ASSERT_TRUE(after) << no_answer(after);
  EXPECT_EQ(after->status, 200);
  EXPECT_TRUE(stats.program.running()) << stats.program.describe();
}

// Serving that stops for anything but a stop signal is a failure that a
// service manager restarts: here its listening socket is destroyed.
TEST(PrometheusListen, ALostListenerEndsItWithAFailure) {
  REFLECTOR_ENTER_NETNS_OR_SKIP();
  listening_stats stats;
  ASSERT_TRUE(stats.ready());
  const shell_result killed = run_shell("ss -K -t state listening 'sport = :" + std::to_string(stats_port) + "'");
  ASSERT_TRUE(killed.succeeded()) << "ss -K: " << killed.output;
  const tool_result ended = stats.program.finish(3s);
  EXPECT_TRUE(ended.exited_with(1)) << ended.describe();
  EXPECT_TRUE(one_line_naming_the_tool(ended.err));
}

// A thread of this process serving a socket on the service's port as a
// worker does, pinned to one CPU and waiting on an event queue that watches
// the socket, until a datagram comes; then it stays busy in user space, as
// a saturated worker does, until it is ended (or 60 s pass).
class stand_in_worker {
 public:
  explicit stand_in_worker(int cpu)
      : socket_(::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0)), queue_(epoll_create1(EPOLL_CLOEXEC)) {
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(service_port);
    epoll_event interest{};
    interest.events = EPOLLIN;
    if (socket_ == -1 || queue_ == -1 || bind(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        epoll_ctl(queue_, EPOLL_CTL_ADD, socket_, &interest) != 0) {
      throw std::runtime_error(std::string("stand-in worker: ") + strerror(errno));
    }
    thread_ = std::thread([this, cpu] { serve(cpu); });
  }
  ~stand_in_worker() {
    end_thread();
    close(queue_);
    close(socket_);
  }
  stand_in_worker(const stand_in_worker&) = delete;
  stand_in_worker& operator=(const stand_in_worker&) = delete;

  // The socket's id, as reflect-stats names it: its inode.
  std::string socket_id() const {
    struct stat status{};
    fstat(socket_, &status);
    return std::to_string(status.st_ino);
  }

  testing::AssertionResult turn_busy() {
    const udp_socket client;
    client.send_to("::1", service_port, make_request(QUERY, 1));
    for (int waited = 0; waited < 1000 && !busy_; ++waited) std::this_thread::sleep_for(10ms);
    if (busy_) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "the stand-in worker did not wake within 10 s";
  }

  void end_thread() {
    ended_ = true;
    if (thread_.joinable()) thread_.join();
  }

 private:
  void serve(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    sched_setaffinity(0, sizeof set, &set);
    epoll_event ready{};
    while (!ended_ && epoll_wait(queue_, &ready, 1, 100) == 0) {
    }
    busy_ = true;
    const auto give_up = std::chrono::steady_clock::now() + 60s;
    while (!ended_ && std::chrono::steady_clock::now() < give_up) {
    }
  }

  int socket_;
  int queue_;
  std::atomic<bool> busy_{false};
  std::atomic<bool> ended_{false};
  std::thread thread_;
};

// Which worker serves a socket is learned while the worker waits on its
// queue. A reading on its own leaves a worker that stays busy unknown,
// never guessed; the exporter remembers the worker while the socket and
// the thread live, and forgets it when the thread ends.
TEST(WorkerOfASocket, IsRememberedWhileBusyAndForgottenWhenItsThreadEnds) {
  REFLECTOR_ENTER_NETNS_OR_SKIP();
  const int cpu = usable_cpus().at(0);
  stand_in_worker worker(cpu);
  ASSERT_TRUE(wait_until_threads_wait(getpid(), 1));
  listening_stats stats;
  ASSERT_TRUE(stats.ready());
  const std::string drops = "reflector_socket_drops_total{socket=\"" + worker.socket_id();
  const std::string with_worker = drops + "\",worker=\"" + std::to_string(cpu) + "\"}";
  const std::string without_worker = drops + "\"}";
  const auto scraped = [] {
    const httplib::Result served = http_get(stats_port, "/metrics");
    return served ? series_of(served->body) : std::set<std::string>{no_answer(served)};
  };
  const auto read_alone = [] {
    const tool_result result = run_tool(REFLECT_STATS_PATH, {"--json"}, 10s);
    EXPECT_TRUE(result.exited_with(0)) << result.describe();
    return json_value::parse(result.out);
  };

  const json_value idle = read_alone();
  ASSERT_FALSE(idle["sockets"].array().at(0)["worker"].is_null()) << "a waiting worker is seen";
  EXPECT_EQ(idle["sockets"].array().at(0)["worker"].integer(), cpu);
  EXPECT_TRUE(scraped().contains(with_worker));

  ASSERT_TRUE(worker.turn_busy());
  const json_value busy = read_alone();
  EXPECT_TRUE(busy["sockets"].array().at(0)["thread"].is_null());
  EXPECT_TRUE(busy["sockets"].array().at(0)["worker"].is_null());
  EXPECT_EQ(busy["notes"].array().at(0).string(), "the workers serving some sockets could not be told");
  EXPECT_TRUE(scraped().contains(with_worker)) << "remembered while busy";

  worker.end_thread();
  const auto after = scraped();
  EXPECT_TRUE(after.contains(without_worker)) << "forgotten once the thread ended";
  EXPECT_FALSE(after.contains(with_worker));
}

}  // namespace
}  // namespace reflector::test
