#include "tests/xdp/fast_path_oracle.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "protocol/reflection.h"

namespace reflector::xdp::test {
namespace {

constexpr std::uint16_t ethertype_vlan = 0x8100;
constexpr std::uint16_t ethertype_ipv4 = 0x0800;
constexpr std::uint16_t ethertype_ipv6 = 0x86dd;
constexpr std::uint8_t protocol_udp = 17;
constexpr std::size_t ipv4_header_size = 20;
constexpr std::size_t ipv6_header_size = 40;
constexpr std::size_t udp_header_size = 8;

std::uint16_t read16(std::span<const std::uint8_t> frame, std::size_t offset) {
  return static_cast<std::uint16_t>(frame[offset] << 8 | frame[offset + 1]);
}

prediction verdict(xdp_verdict v, fast_path_reason reason, fast_path_family family) {
  prediction p;
  p.verdict = v;
  p.reason = reason;
  p.family = family;
  return p;
}

prediction pass(fast_path_reason reason, fast_path_family family) {
  return verdict(xdp_verdict::pass, reason, family);
}

// The datagram as the IP layer found it, for the checks both families share.
struct datagram_view {
  fast_path_family family;
  udp_location at;
  std::size_t ip_payload_length;  // what the IP header says the UDP datagram spans
  address16 source{};
  address16 destination{};
  std::size_t address_size;       // 4 or 16: the bytes of each address in the IP header
  std::size_t source_offset;
  std::size_t destination_offset;
  bool bad_ip_source;
  bool foreign_vlan;  // tagged with a VLAN the host is not on
};

address16 mapped_ipv4(std::span<const std::uint8_t> frame, std::size_t offset) {
  address16 out{};
  out[10] = out[11] = 0xff;
  std::copy_n(frame.begin() + static_cast<std::ptrdiff_t>(offset), 4, out.begin() + 12);
  return out;
}

bool is_local(const address16& address, const test_host& host) {
  return std::find(host.local_addresses.begin(), host.local_addresses.end(), address) !=
         host.local_addresses.end();
}

bool bad_ipv6_source(const address16& a) {
  if (a[0] == 0xff) return true;
  const bool first_twelve_zero = std::all_of(a.begin(), a.begin() + 12, [](auto b) { return b == 0; });
  const bool first_fifteen_zero = first_twelve_zero && a[12] == 0 && a[13] == 0 && a[14] == 0;
  if (first_fifteen_zero && (a[15] == 0 || a[15] == 1)) return true;  // :: and ::1
  return std::all_of(a.begin(), a.begin() + 10, [](auto b) { return b == 0; }) && a[10] == 0xff &&
         a[11] == 0xff;  // ::ffff:0:0/96
}

// The first or last address of one of the host's IPv4 subnets of /30 or
// wider: the subnet itself or its broadcast address.
bool subnet_broadcast(const address16& source, const test_host& host) {
  std::uint32_t address = 0;
  for (std::size_t i = 12; i < 16; ++i) address = address << 8 | source[i];
  return std::any_of(host.ipv4_subnets.begin(), host.ipv4_subnets.end(), [&](const ipv4_subnet& subnet) {
    if (subnet.prefix_length > 30) return false;
    std::uint32_t own = 0;
    for (std::size_t i = 12; i < 16; ++i) own = own << 8 | subnet.address[i];
    const std::uint32_t host_part = (std::uint64_t{1} << (32 - subnet.prefix_length)) - 1;
    const bool same_subnet = (address & ~host_part) == (own & ~host_part);
    return same_subnet && ((address & host_part) == 0 || (address & host_part) == host_part);
  });
}

// Multicast and broadcast destinations: no host's own address.
bool group_destination(const address16& destination, fast_path_family family) {
  return family == family_ipv4 ? destination[12] >= 224 : destination[0] == 0xff;
}

bool guarded(const address16& source, bool ipv4, const test_host& host) {
  return std::any_of(host.guarded_sources.begin(), host.guarded_sources.end(),
                     [&](const address_prefix& p) { return p.ipv4 == ipv4 && p.contains(source); });
}

// The answered frame: both MACs, both addresses and both ports swapped, the
// payload replaced by handle_message's reply, everything else as it came.
void predict_reply(prediction& p, std::span<const std::uint8_t> frame, const datagram_view& d,
                   std::span<const std::uint8_t> reply_payload) {
  p.reply.assign(frame.begin(), frame.end());
  auto& out = p.reply;
  std::swap_ranges(out.begin(), out.begin() + 6, out.begin() + 6);
  std::swap_ranges(out.begin() + static_cast<std::ptrdiff_t>(d.source_offset),
                   out.begin() + static_cast<std::ptrdiff_t>(d.source_offset + d.address_size),
                   out.begin() + static_cast<std::ptrdiff_t>(d.destination_offset));
  const auto udp = out.begin() + static_cast<std::ptrdiff_t>(d.at.udp);
  std::swap_ranges(udp, udp + 2, udp + 2);
  std::copy(reply_payload.begin(), reply_payload.end(), udp + udp_header_size);

  p.datagram = d.at;
  const std::uint16_t checksum = read16(frame, d.at.udp + udp_checksum_field);
  if (checksum == 0) {
    p.checksum = reply_checksum::absent;  // IPv6 never gets here with 0
  } else if (udp_checksum_verifies(frame, d.at)) {
    p.checksum = reply_checksum::exact;
    const std::uint16_t fresh = udp_checksum(out, d.at);
    out[d.at.udp + udp_checksum_field] = static_cast<std::uint8_t>(fresh >> 8);
    out[d.at.udp + udp_checksum_field + 1] = static_cast<std::uint8_t>(fresh);
  } else {
    p.checksum = reply_checksum::invalid;
  }
  if (d.family == family_ipv4 &&
      ipv4_header_verifies(frame.subspan(d.at.network, ipv4_header_size))) {
    p.verified_ipv4_header = d.at.network;
  }
}

// The payload, judged as the service would, with handle_message consulted
// for every payload the service would take in.
prediction judge_payload(std::span<const std::uint8_t> frame, const datagram_view& d) {
  const std::size_t length = d.at.length - udp_header_size;
  const auto payload = frame.subspan(d.at.udp + udp_header_size, length);

  // The service takes in at most longest_request bytes of a datagram.
  std::array<std::uint8_t, longest_request> buffer{};
  const std::size_t taken = std::min(length, longest_request);
  std::copy_n(payload.begin(), taken, buffer.begin());
  address16 address = d.source;
  std::uint16_t port;
  std::memcpy(&port, &frame[d.at.udp], sizeof port);
  const auto handled_length = static_cast<std::uint32_t>(taken);
  bool drop = true;
  handle_message(address, port, buffer.data(), handled_length, drop);

  prediction p;
  if (length < header_size) {
    p = verdict(xdp_verdict::drop, reason_dropped_short, d.family);
  } else if (!std::equal(magic.begin(), magic.end(), payload.begin() + magic_offset)) {
    p = verdict(xdp_verdict::drop, reason_dropped_magic, d.family);
  } else if (read16(payload, type_offset) == FORWARD) {
    return pass(reason_passed_forward, d.family);
  } else if (read16(payload, type_offset) != QUERY) {
    p = verdict(xdp_verdict::drop, reason_dropped_type, d.family);
  } else if (length > longest_request) {
    return pass(reason_passed_oversize, d.family);
  } else {
    p = verdict(xdp_verdict::tx, reason_answered, d.family);
    if (drop) p.handler_conflict = "handle_message does not answer this QUERY";
    predict_reply(p, frame, d, std::span(buffer).first(length));
    return p;
  }
  if (!drop) {
    p.handler_conflict = std::string("handle_message answers what the rules drop as ") +
                         name_of(p.reason);
  }
  return p;
}

// From the destination port on, the same for both families.
prediction judge_udp(std::span<const std::uint8_t> frame, const datagram_view& d,
                     const test_host& host) {
  const fast_path_family family = d.family;
  if (d.at.udp + udp_header_size > frame.size()) return pass(reason_passed_malformed, family);
  if (read16(frame, d.at.udp + 2) != service_port) return pass(reason_passed_other, family);
  const bool our_mac = std::equal(host.interface_mac.begin(), host.interface_mac.end(), frame.begin());
  // The local addresses hold IPv4 ones as ::ffff:a.b.c.d; an IPv6 datagram
  // to such an address is no one's here.
  const bool mapped_ipv6_destination =
      family == family_ipv6 && std::all_of(d.destination.begin(), d.destination.begin() + 10,
                                           [](std::uint8_t b) { return b == 0; }) &&
      d.destination[10] == 0xff && d.destination[11] == 0xff;
  if (!our_mac || d.foreign_vlan || mapped_ipv6_destination || group_destination(d.destination, family) ||
      !is_local(d.destination, host)) {
    return pass(reason_passed_not_local, family);
  }
  const std::size_t udp_length = read16(frame, d.at.udp + 4);
  if (udp_length < udp_header_size || udp_length != d.ip_payload_length ||
      d.at.udp + udp_length > frame.size()) {
    return pass(reason_passed_malformed, family);
  }
  const bool group_source_mac = (frame[6] & 1) != 0;
  const bool source_port_zero = read16(frame, d.at.udp) == 0;
  const bool own_source = is_local(d.source, host);  // its own destination among them
  if (d.bad_ip_source || group_source_mac || source_port_zero || own_source) {
    return pass(reason_passed_bad_source, family);
  }
  if (family == family_ipv6 && read16(frame, d.at.udp + udp_checksum_field) == 0) {
    return pass(reason_passed_zero_checksum, family);
  }
  datagram_view with_length = d;
  with_length.at.length = udp_length;
  return judge_payload(frame, with_length);
}

prediction judge_ipv4(std::span<const std::uint8_t> frame, std::size_t ip, bool foreign_vlan,
                      const test_host& host) {
  constexpr auto family = family_ipv4;
  if (frame.size() - ip < ipv4_header_size) return pass(reason_passed_malformed, family);
  const unsigned version = frame[ip] >> 4;
  const unsigned header_words = frame[ip] & 0x0f;
  if (version != 4 || header_words < 5) return pass(reason_passed_malformed, family);
  if (header_words > 5) return pass(reason_passed_ip_options, family);
  if ((read16(frame, ip + 6) & 0x3fff) != 0) return pass(reason_passed_fragment, family);
  if (frame[ip + 9] != protocol_udp) return pass(reason_passed_other, family);
  const std::size_t total_length = read16(frame, ip + 2);
  if (total_length < ipv4_header_size || ip + total_length > frame.size()) {
    return pass(reason_passed_malformed, family);
  }
  datagram_view d{};
  d.family = family;
  d.at = udp_location{false, ip, ip + ipv4_header_size, 0};
  d.ip_payload_length = total_length - ipv4_header_size;
  d.source = mapped_ipv4(frame, ip + 12);
  d.destination = mapped_ipv4(frame, ip + 16);
  d.address_size = 4;
  d.source_offset = ip + 12;
  d.destination_offset = ip + 16;
  d.foreign_vlan = foreign_vlan;
  const std::uint8_t first = frame[ip + 12];
  d.bad_ip_source = first == 0 || first == 127 || first >= 224 || guarded(d.source, true, host) ||
                    subnet_broadcast(d.source, host);
  return judge_udp(frame, d, host);
}

prediction judge_ipv6(std::span<const std::uint8_t> frame, std::size_t ip, bool foreign_vlan,
                      const test_host& host) {
  constexpr auto family = family_ipv6;
  if (frame.size() - ip < ipv6_header_size) return pass(reason_passed_malformed, family);
  if (frame[ip] >> 4 != 6) return pass(reason_passed_malformed, family);
  if (frame[ip + 6] != protocol_udp) return pass(reason_passed_other, family);
  datagram_view d{};
  d.family = family;
  d.at = udp_location{true, ip, ip + ipv6_header_size, 0};
  d.ip_payload_length = read16(frame, ip + 4);
  std::copy_n(frame.begin() + static_cast<std::ptrdiff_t>(ip + 8), 16, d.source.begin());
  std::copy_n(frame.begin() + static_cast<std::ptrdiff_t>(ip + 24), 16, d.destination.begin());
  d.address_size = 16;
  d.source_offset = ip + 8;
  d.destination_offset = ip + 24;
  d.foreign_vlan = foreign_vlan;
  d.bad_ip_source = bad_ipv6_source(d.source) || guarded(d.source, false, host);
  return judge_udp(frame, d, host);
}

}  // namespace

prediction predict(std::span<const std::uint8_t> frame, const test_host& host) {
  // BPF_PROG_TEST_RUN refuses anything shorter than an Ethernet header.
  if (frame.size() < 14) return pass(reason_passed_malformed, family_other);
  std::uint16_t ethertype = read16(frame, 12);
  std::size_t network = 14;
  bool foreign_vlan = false;
  if (ethertype == ethertype_vlan) {
    if (frame.size() < 18) return pass(reason_passed_malformed, family_other);
    // The priority bits are no part of the VLAN; 4095 is reserved, no VLAN's.
    const std::uint16_t vlan = read16(frame, 14) & 0x0fff;
    foreign_vlan = vlan == 0x0fff || std::find(host.vlans.begin(), host.vlans.end(), vlan) == host.vlans.end();
    ethertype = read16(frame, 16);
    network = 18;
  }
  if (ethertype == ethertype_ipv4) return judge_ipv4(frame, network, foreign_vlan, host);
  if (ethertype == ethertype_ipv6) return judge_ipv6(frame, network, foreign_vlan, host);
  return pass(reason_passed_other, family_other);
}

const char* name_of(xdp_verdict verdict) {
  switch (verdict) {
    case xdp_verdict::drop: return "DROP";
    case xdp_verdict::pass: return "PASS";
    case xdp_verdict::tx: return "TX";
  }
  return "unknown verdict";
}

const char* name_of(fast_path_reason reason) {
  switch (reason) {
    case reason_answered: return "answered";
    case reason_dropped_short: return "dropped_short";
    case reason_dropped_magic: return "dropped_magic";
    case reason_dropped_type: return "dropped_type";
    case reason_passed_forward: return "passed_forward";
    case reason_passed_oversize: return "passed_oversize";
    case reason_passed_not_local: return "passed_not_local";
    case reason_passed_ip_options: return "passed_ip_options";
    case reason_passed_fragment: return "passed_fragment";
    case reason_passed_zero_checksum: return "passed_zero_checksum";
    case reason_passed_bad_source: return "passed_bad_source";
    case reason_passed_malformed: return "passed_malformed";
    case reason_passed_other: return "passed_other";
    case fast_path_reason_count: break;
  }
  return "unknown reason";
}

const char* name_of(fast_path_family family) {
  switch (family) {
    case family_ipv4: return "ipv4";
    case family_ipv6: return "ipv6";
    case family_other: return "other";
    case fast_path_family_count: break;
  }
  return "unknown family";
}

}  // namespace reflector::xdp::test
