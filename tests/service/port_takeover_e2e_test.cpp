// No socket of another user can share the service's port, whatever sharing
// options it sets, and so none receives any of the service's datagrams.
#include <arpa/inet.h>
#include <grp.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "tests/service/serving_service.h"
#include "tests/support/reflection_exchange.h"
#include "tests/support/udp_socket.h"

namespace reflector::test {
namespace {

using namespace std::chrono_literals;

constexpr uid_t other_user = 65534;  // nobody

struct bind_attempt {
  const char* address;
  bool reuse_address;
  bool reuse_port;
};

constexpr const char* attempt_addresses[] = {"::", "0.0.0.0", "192.0.2.1",
                                             "2001:db8::2", "127.0.0.1", "::1"};

// Every address with every combination of the two sharing options.
std::vector<bind_attempt> every_attempt() {
  std::vector<bind_attempt> attempts;
  for (const char* address : attempt_addresses) {
    for (const bool reuse_address : {false, true}) {
      for (const bool reuse_port : {false, true}) {
        attempts.push_back({address, reuse_address, reuse_port});
      }
    }
  }
  return attempts;
}

std::string describe(const bind_attempt& a) {
  return std::string(a.address) + (a.reuse_address ? " SO_REUSEADDR" : "") +
         (a.reuse_port ? " SO_REUSEPORT" : "");
}

// A socket bound to the service's port as the attempt says, or -1. Only
// async-signal-safe calls: it runs in a forked child.
int try_bind(const bind_attempt& a) {
  sockaddr_storage address{};
  socklen_t length = 0;
  int family = AF_INET6;
  if (std::strchr(a.address, ':') != nullptr) {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(service_port);
    inet_pton(AF_INET6, a.address, &v6->sin6_addr);
    length = sizeof *v6;
  } else {
    family = AF_INET;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    v4->sin_family = AF_INET;
    v4->sin_port = htons(service_port);
    inet_pton(AF_INET, a.address, &v4->sin_addr);
    length = sizeof *v4;
  }
  const int fd = socket(family, SOCK_DGRAM | SOCK_NONBLOCK, 0);
  const int on = 1;
  if (a.reuse_address) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (a.reuse_port) setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0) return fd;
  close(fd);
  return -1;
}

// The other user's side, in a forked child: one byte per attempt (1: it
// bound), then, once the parent has sent its queries, the number of
// datagrams its bound sockets received within a second.
[[noreturn]] void intrude(const std::vector<bind_attempt>& attempts, int report_fd, int go_fd) {
  if (setgroups(0, nullptr) != 0 || setgid(other_user) != 0 || setuid(other_user) != 0) _exit(2);
  std::array<pollfd, 64> bound{};
  std::size_t bound_count = 0;
  for (const bind_attempt& a : attempts) {
    const int fd = try_bind(a);
    const char outcome = fd == -1 ? 0 : 1;
    if (write(report_fd, &outcome, 1) != 1) _exit(3);
    if (fd != -1 && bound_count < bound.size()) bound[bound_count++] = {fd, POLLIN, 0};
  }
  char go;
  if (read(go_fd, &go, 1) != 1) _exit(4);
  char received = 0;
  if (bound_count > 0 && poll(bound.data(), bound_count, 1000) > 0) {
    for (std::size_t i = 0; i < bound_count; ++i) received += (bound[i].revents & POLLIN) ? 1 : 0;
  }
  if (write(report_fd, &received, 1) != 1) _exit(5);
  _exit(0);
}

TEST_F(ServingService, NoSocketOfAnotherUserSharesThePort) {
  const std::vector<bind_attempt> attempts = every_attempt();
  int report[2];
  int go[2];
  ASSERT_EQ(pipe(report), 0);
  ASSERT_EQ(pipe(go), 0);
  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) intrude(attempts, report[1], go[0]);
  close(report[1]);
  close(go[0]);

  for (const bind_attempt& a : attempts) {
    char outcome = 2;
    ASSERT_EQ(read(report[0], &outcome, 1), 1) << "the other user's process ended early";
    EXPECT_EQ(outcome, 0) << "user " << other_user << " bound " << describe(a);
  }
  const udp_socket client("192.0.2.1");
  for (std::uint32_t tag = 0; tag < 10; ++tag) {
    client.send_to("192.0.2.1", service_port, make_request(QUERY, tag));
  }
  ASSERT_EQ(write(go[1], "g", 1), 1);
  int answered = 0;
  while (answered < 10 && client.receive(5s).has_value()) ++answered;
  EXPECT_EQ(answered, 10);
  char intercepted = -1;
  EXPECT_EQ(read(report[0], &intercepted, 1), 1);
  EXPECT_EQ(intercepted, 0) << "sockets of user " << other_user << " received datagrams";

  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(exited_with(status, 0));
  close(report[0]);
  close(go[1]);
}

}  // namespace
}  // namespace reflector::test
