#include "tests/tools/running_service.h"

#include <fcntl.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>

#include "tests/support/reflection_exchange.h"
#include "tests/support/udp_socket.h"

namespace reflector::test {
namespace {

child_process start_quiet(const std::string& path) {
  return child_process::start(path, {}, {}, [] {
    const int null = open("/dev/null", O_RDWR);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
  });
}

}  // namespace

running_service::running_service(const std::string& probe_address)
    : process_(start_quiet(REFLECTORD_PATH)) {
  if (!wait_until_answering(probe_address)) {
    throw std::runtime_error("reflectord does not answer on " + probe_address);
  }
}

bool wait_until_port_taken(const std::string& address, std::uint16_t port) {
  for (int attempt = 0; attempt < 400; ++attempt) {
    try {
      const udp_socket probe(address, port);
    } catch (const std::runtime_error&) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

}  // namespace reflector::test
