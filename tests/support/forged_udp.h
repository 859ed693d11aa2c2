// One UDP datagram over IPv6 with whatever source a test names, sent whole
// through a raw socket of the calling thread's namespace: what a sender on
// the link can put on the wire, which an ordinary socket refuses to send.
// Needs CAP_NET_RAW.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace reflector::test {

// Throws std::runtime_error when it cannot be sent.
void send_forged_ipv6_udp(const std::string& source, std::uint16_t source_port,
                          const std::string& destination, std::uint16_t destination_port,
                          const std::vector<std::uint8_t>& payload);

}  // namespace reflector::test
