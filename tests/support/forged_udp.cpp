#include "tests/support/forged_udp.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "tests/support/addresses.h"
#include "tests/xdp/internet_checksum.h"

namespace reflector::test {
namespace {

constexpr std::size_t ipv6_header_size = 40;
constexpr std::size_t udp_header_size = 8;

void put16(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value) {
  bytes[at] = static_cast<std::uint8_t>(value >> 8);
  bytes[at + 1] = static_cast<std::uint8_t>(value);
}

std::vector<std::uint8_t> build_packet(const address16& source, std::uint16_t source_port,
                                       const address16& destination, std::uint16_t destination_port,
                                       const std::vector<std::uint8_t>& payload) {
  const std::size_t udp_length = udp_header_size + payload.size();
  std::vector<std::uint8_t> packet(ipv6_header_size + udp_length);
  packet[0] = 0x60;
  put16(packet, 4, static_cast<std::uint32_t>(udp_length));
  packet[6] = IPPROTO_UDP;
  packet[7] = 64;
  std::memcpy(&packet[8], source.data(), 16);
  std::memcpy(&packet[24], destination.data(), 16);
  put16(packet, ipv6_header_size, source_port);
  put16(packet, ipv6_header_size + 2, destination_port);
  put16(packet, ipv6_header_size + 4, static_cast<std::uint32_t>(udp_length));
  std::memcpy(&packet[ipv6_header_size + udp_header_size], payload.data(), payload.size());
  const xdp::test::udp_location udp{true, 0, ipv6_header_size, udp_length};
  put16(packet, ipv6_header_size + xdp::test::udp_checksum_field, xdp::test::udp_checksum(packet, udp));
  return packet;
}

}  // namespace

void send_forged_ipv6_udp(const std::string& source, std::uint16_t source_port,
                          const std::string& destination, std::uint16_t destination_port,
                          const std::vector<std::uint8_t>& payload) {
  const address16 to = address_of(destination);
  const std::vector<std::uint8_t> packet =
      build_packet(address_of(source), source_port, to, destination_port, payload);
  // IPPROTO_RAW: the packet is sent with the header it brings.
  const int fd = socket(AF_INET6, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW);
  if (fd == -1) throw std::runtime_error(std::string("raw IPv6 socket: ") + std::strerror(errno));
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  std::memcpy(address.sin6_addr.s6_addr, to.data(), 16);
  const ssize_t sent = sendto(fd, packet.data(), packet.size(), 0,
                              reinterpret_cast<const sockaddr*>(&address), sizeof address);
  const int error = errno;
  close(fd);
  if (sent != static_cast<ssize_t>(packet.size())) {
    throw std::runtime_error("forged datagram from " + source + ": " + std::strerror(error));
  }
}

}  // namespace reflector::test
