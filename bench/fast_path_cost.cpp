// The fast path's own cost per frame, as the kernel times it: the program
// run on one frame at a time through BPF_PROG_TEST_RUN, without a driver,
// a NIC or a socket. A QUERY is answered in place, so a second run over the
// same buffer would judge the reply instead: each QUERY run is one call with
// repeat 1, timed by the kernel together with one clock read, and the same
// is measured for a program that only returns XDP_PASS, whose figure is that
// overhead. A FORWARD goes through the whole parse and leaves the frame as
// it was, so it is run with a large repeat, which the kernel times without
// overhead worth the name.
//
//   fast_path_cost [CALLS]     (default 200000; needs root)
#include <arpa/inet.h>
#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <linux/bpf.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "platform/xdp/fast_path_program.h"
#include "protocol/message_layout.h"
#include "protocol/request.h"

namespace {

using reflector::xdp::fast_path_error;
using reflector::xdp::fast_path_program;
using reflector::xdp::mac_address;

constexpr mac_address server_mac{0x02, 0x00, 0x5e, 0x00, 0x53, 0x01};
constexpr mac_address client_mac{0x02, 0x00, 0x5e, 0x00, 0x53, 0x02};

fast_path_address address(const char* text) {
  fast_path_address out{};
  in_addr v4{};
  if (inet_pton(AF_INET, text, &v4) == 1) {
    out.bytes[10] = out.bytes[11] = 0xff;
    std::memcpy(&out.bytes[12], &v4, 4);
  } else if (inet_pton(AF_INET6, text, out.bytes) != 1) {
    throw fast_path_error(std::string("not an address: ") + text);
  }
  return out;
}

// One's complement sum of bytes, big-endian 16-bit words.
std::uint32_t sum16(const std::uint8_t* bytes, std::size_t size, std::uint32_t sum = 0) {
  for (std::size_t i = 0; i + 1 < size; i += 2)
    sum += static_cast<std::uint32_t>(bytes[i] << 8 | bytes[i + 1]);
  if (size % 2 != 0) sum += static_cast<std::uint32_t>(bytes[size - 1] << 8);
  return sum;
}

std::uint16_t folded(std::uint32_t sum) {
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

void put16(std::vector<std::uint8_t>& frame, std::size_t at, std::uint16_t value) {
  frame[at] = static_cast<std::uint8_t>(value >> 8);
  frame[at + 1] = static_cast<std::uint8_t>(value);
}

// An Ethernet frame from the client to the server's port 1213 carrying a
// 40-byte request of the given type, every checksum valid.
std::vector<std::uint8_t> request_frame(bool ipv6, std::uint16_t type) {
  std::uint8_t payload[reflector::header_size];
  reflector::request_key key{};
  for (std::size_t i = 0; i < key.transaction_id.size(); ++i)
    key.transaction_id[i] = static_cast<std::uint8_t>(i + 1);
  reflector::wire_endpoint target{};
  if (type == reflector::FORWARD) {
    target.port = reflector::port_bytes(5000);
    const auto to = address(ipv6 ? "2001:db8::2" : "192.0.2.2");
    std::copy(std::begin(to.bytes), std::end(to.bytes), target.address.begin());
  }
  reflector::write_request(payload, type, key, target);

  const std::size_t ip_size = ipv6 ? 40 : 20;
  const std::size_t udp_at = 14 + ip_size;
  const std::size_t udp_length = 8 + sizeof payload;
  std::vector<std::uint8_t> frame(udp_at + udp_length);
  std::copy(server_mac.begin(), server_mac.end(), frame.begin());
  std::copy(client_mac.begin(), client_mac.end(), frame.begin() + 6);
  put16(frame, 12, ipv6 ? 0x86dd : 0x0800);
  const auto source = address(ipv6 ? "2001:db8::2" : "192.0.2.2");
  const auto destination = address(ipv6 ? "2001:db8::1" : "192.0.2.1");
  std::uint32_t pseudo = 0;
  if (ipv6) {
    frame[14] = 0x60;
    put16(frame, 18, static_cast<std::uint16_t>(udp_length));
    frame[20] = 17;  // UDP
    frame[21] = 64;
    std::memcpy(&frame[22], source.bytes, 16);
    std::memcpy(&frame[38], destination.bytes, 16);
    pseudo = sum16(&frame[22], 32) + 17 + static_cast<std::uint32_t>(udp_length);
  } else {
    frame[14] = 0x45;
    put16(frame, 16, static_cast<std::uint16_t>(ip_size + udp_length));
    frame[22] = 64;
    frame[23] = 17;
    std::memcpy(&frame[26], &source.bytes[12], 4);
    std::memcpy(&frame[30], &destination.bytes[12], 4);
    put16(frame, 24, folded(sum16(&frame[14], 20)));
    pseudo = sum16(&frame[26], 8) + 17 + static_cast<std::uint32_t>(udp_length);
  }
  put16(frame, udp_at, 40000);
  put16(frame, udp_at + 2, reflector::service_port);
  put16(frame, udp_at + 4, static_cast<std::uint16_t>(udp_length));
  std::copy(std::begin(payload), std::end(payload), frame.begin() + static_cast<long>(udp_at + 8));
  const std::uint16_t checksum = folded(sum16(&frame[udp_at], udp_length, pseudo));
  put16(frame, udp_at + 6, checksum == 0 ? 0xffff : checksum);
  return frame;
}

// A program that returns XDP_PASS and does nothing else.
int load_pass_program() {
  const bpf_insn instructions[] = {
      {BPF_ALU64 | BPF_MOV | BPF_K, BPF_REG_0, 0, 0, XDP_PASS},
      {BPF_JMP | BPF_EXIT, 0, 0, 0, 0},
  };
  const int fd = bpf_prog_load(BPF_PROG_TYPE_XDP, "pass_only", "GPL", instructions,
                               sizeof instructions / sizeof instructions[0], nullptr);
  if (fd < 0)
    throw fast_path_error(reflector::xdp::failure_text("cannot load a pass-only program", errno));
  return fd;
}

struct timing {
  double median_ns;
  double mean_ns;
};

// calls runs with repeat 1 each; the kernel's time of each, in ns.
timing run_once_each(int program_fd, const std::vector<std::uint8_t>& frame, int calls,
                     std::uint32_t expected_verdict) {
  std::vector<std::uint8_t> out(frame.size() + 256);
  std::vector<std::uint32_t> durations;
  durations.reserve(static_cast<std::size_t>(calls));
  for (int call = 0; call < calls; ++call) {
    LIBBPF_OPTS(bpf_test_run_opts, options, .data_in = frame.data(), .data_out = out.data(),
                .data_size_in = static_cast<std::uint32_t>(frame.size()),
                .data_size_out = static_cast<std::uint32_t>(out.size()), .repeat = 1);
    if (bpf_prog_test_run_opts(program_fd, &options) != 0)
      throw fast_path_error(reflector::xdp::failure_text("BPF_PROG_TEST_RUN", errno));
    if (options.retval != expected_verdict)
      throw fast_path_error("the program returned " + std::to_string(options.retval) + ", not " +
                            std::to_string(expected_verdict));
    durations.push_back(options.duration);
  }
  double total = 0;
  for (const auto d : durations) total += d;
  std::nth_element(durations.begin(), durations.begin() + calls / 2, durations.end());
  return {static_cast<double>(durations[static_cast<std::size_t>(calls / 2)]), total / calls};
}

// One call with a large repeat: the kernel's mean time per run, in ns.
double run_repeated(int program_fd, const std::vector<std::uint8_t>& frame, std::uint32_t repeat,
                    std::uint32_t expected_verdict) {
  LIBBPF_OPTS(bpf_test_run_opts, options, .data_in = frame.data(),
              .data_size_in = static_cast<std::uint32_t>(frame.size()),
              .repeat = static_cast<int>(repeat));
  if (bpf_prog_test_run_opts(program_fd, &options) != 0)
    throw fast_path_error(reflector::xdp::failure_text("BPF_PROG_TEST_RUN", errno));
  if (options.retval != expected_verdict)
    throw fast_path_error("the program returned " + std::to_string(options.retval));
  return options.duration;
}

}  // namespace

int main(int argc, char** argv) {
  const int calls = argc > 1 ? std::atoi(argv[1]) : 200000;
  if (calls < 1 || argc > 2) {
    std::fprintf(stderr, "usage: fast_path_cost [CALLS]\n");
    return 1;
  }
  try {
    const fast_path_program program;
    reflector::xdp::write_interface_mac(program.interface_fd(), server_mac);
    reflector::xdp::replace_local_addresses(program.local_addresses_fd(),
                                            {address("192.0.2.1"), address("2001:db8::1")});
    const int fast_path = program.program_fd();
    const int pass_only = load_pass_program();

    const auto query4 = request_frame(false, reflector::QUERY);
    const auto query6 = request_frame(true, reflector::QUERY);
    const timing floor = run_once_each(pass_only, query4, calls, XDP_PASS);
    const timing answered4 = run_once_each(fast_path, query4, calls, XDP_TX);
    const timing answered6 = run_once_each(fast_path, query6, calls, XDP_TX);
    constexpr std::uint32_t repeat = 10'000'000;
    const double pass_repeated = run_repeated(pass_only, query4, repeat, XDP_PASS);
    const double forward4 =
        run_repeated(fast_path, request_frame(false, reflector::FORWARD), repeat, XDP_PASS);
    const double forward6 =
        run_repeated(fast_path, request_frame(true, reflector::FORWARD), repeat, XDP_PASS);
    close(pass_only);

    std::printf("BPF_PROG_TEST_RUN, 40-byte requests; ns per frame as the kernel times it\n");
    std::printf("%d calls of one run each; the program's own time is the difference\n", calls);
    std::printf("from the pass-only program's:\n");
    std::printf("                          median   mean   program (median, mean)\n");
    std::printf("  pass-only program       %6.1f %6.1f\n", floor.median_ns, floor.mean_ns);
    const auto program_row = [&](const char* name, const timing& t) {
      std::printf("  %-22s  %6.1f %6.1f   %5.1f %5.1f\n", name, t.median_ns, t.mean_ns,
                  t.median_ns - floor.median_ns, t.mean_ns - floor.mean_ns);
    };
    program_row("QUERY IPv4, answered", answered4);
    program_row("QUERY IPv6, answered", answered6);
    std::printf("one call of %u runs (mean):\n", repeat);
    std::printf("  pass-only program       %6.1f\n", pass_repeated);
    std::printf("  FORWARD IPv4, passed on %6.1f\n", forward4);
    std::printf("  FORWARD IPv6, passed on %6.1f\n", forward6);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "fast_path_cost: %s\n", error.what());
    return 1;
  }
  return 0;
}
