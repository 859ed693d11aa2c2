#include "tests/xdp/crafted_frames.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <stdexcept>

#include "protocol/reflection.h"
#include "protocol/request.h"
#include "tests/xdp/frame_builder.h"

namespace reflector::xdp::test {
namespace {

// A message of `length` bytes as a client writes it, with garbage in xport
// and xaddress for the reply to overwrite and a pattern after the header;
// cut short below header_size.
std::vector<std::uint8_t> message(std::uint16_t type, std::size_t length) {
  std::vector<std::uint8_t> m(std::max(length, header_size));
  const request_key key{{0xaa, 0xbb, 0xcc, 0xdd},
                        {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0a, 0x0b, 0x0c}};
  write_request(m.data(), type, key);
  if (type != FORWARD) {
    for (std::size_t i = xport_offset; i < header_size; ++i) m[i] = static_cast<std::uint8_t>(0xe0 + i);
  }
  for (std::size_t i = header_size; i < m.size(); ++i) m[i] = static_cast<std::uint8_t>(0x5a ^ i);
  m.resize(length);
  return m;
}

std::vector<std::uint8_t> query(std::size_t length) { return message(QUERY, length); }

// Length fields, each alone or both in agreement.
void set_ip_payload_length(built_frame& f, std::size_t udp_length) {
  if (f.datagram.ipv6) {
    f.write16(f.network + ipv6_field::payload_length, static_cast<std::uint16_t>(udp_length));
  } else {
    const std::size_t header = static_cast<std::size_t>(f.bytes[f.network] & 0x0f) * 4;
    f.write16(f.network + ipv4_field::total_length, static_cast<std::uint16_t>(header + udp_length));
  }
}

void set_udp_length(built_frame& f, std::size_t udp_length) {
  f.write16(f.udp() + udp_field::length, static_cast<std::uint16_t>(udp_length));
}

// Both headers say the datagram is udp_length bytes long, and its checksum
// covers just those: any bytes of it beyond become Ethernet padding.
void set_datagram_length(built_frame& f, std::size_t udp_length) {
  set_ip_payload_length(f, udp_length);
  set_udp_length(f, udp_length);
  f.datagram.length = udp_length;
  if (udp_length >= 8 && f.udp() + udp_length <= f.bytes.size()) f.recompute_udp_checksum();
}

std::size_t datagram_length(const built_frame& f) { return f.datagram.length; }

void set_version(built_frame& f, unsigned version) {
  f.bytes[f.network] = static_cast<std::uint8_t>(version << 4 | (f.bytes[f.network] & 0x0f));
}

void set_ipv4_header_words(built_frame& f, unsigned words) {
  f.bytes[f.network] = static_cast<std::uint8_t>(0x40 | words);
}

void set_ethertype(built_frame& f, std::uint16_t ethertype) { f.write16(f.network - 2, ethertype); }

// The 802.1Q tag control information: priority, drop eligibility, VLAN id.
void set_vlan_tag(built_frame& f, std::uint16_t tag_control) { f.write16(ethertype_offset + 2, tag_control); }

// Moves the prefix (payload bytes 0-1, which the reply carries back as they
// are) so that the sum over the request, or over its reply, comes to ffff:
// that datagram's checksum then computes to 0 and is sent as ffff.
void steer_checksum_to_zero(built_frame& f, bool of_reply) {
  std::vector<std::uint8_t> judged = f.bytes;
  if (of_reply) {
    // Bytes 20-39 as handle_message writes them; swapping the addresses and
    // the ports leaves the sum as it is.
    address16 source{};
    if (f.datagram.ipv6) {
      std::copy_n(f.bytes.begin() + static_cast<std::ptrdiff_t>(f.network + 8), 16, source.begin());
    } else {
      source[10] = source[11] = 0xff;
      std::copy_n(f.bytes.begin() + static_cast<std::ptrdiff_t>(f.network + 12), 4, source.begin() + 12);
    }
    std::uint16_t port;
    std::memcpy(&port, &f.bytes[f.udp()], sizeof port);
    std::array<std::uint8_t, longest_request> buffer{};
    const auto length = static_cast<std::uint32_t>(f.datagram.length - 8);
    std::copy_n(f.bytes.begin() + static_cast<std::ptrdiff_t>(f.payload()), length, buffer.begin());
    bool drop = true;
    handle_message(source, port, buffer.data(), length, drop);
    if (drop) throw std::logic_error("steering the checksum of a reply to a frame not answered");
    std::copy_n(buffer.begin(), length, judged.begin() + static_cast<std::ptrdiff_t>(f.payload()));
  }
  const std::uint16_t sum = udp_sum(judged, f.datagram, false);
  const std::uint16_t prefix = f.read16(f.payload());
  f.write16(f.payload(), fold(std::uint64_t{prefix} + static_cast<std::uint16_t>(~sum)));
  f.recompute_udp_checksum();
}

enum class applies { always, ipv4, ipv6, tagged };

struct frame_case {
  std::string name;
  fast_path_reason reason;
  std::function<void(udp_frame_spec&)> shape = nullptr;  // before the frame is built
  std::function<void(built_frame&)> spoil = nullptr;     // after
  applies to = applies::always;
  bool not_ip = false;  // judged as family other
};

void set_source(udp_frame_spec& s, const char* address) { s.source = address_of(address); }
void set_destination(udp_frame_spec& s, const char* address) { s.destination = address_of(address); }

std::vector<frame_case> payload_cases() {
  std::vector<frame_case> cases{
      {.name = "FORWARD", .reason = reason_passed_forward,
       .shape = [](auto& s) { s.payload = message(FORWARD, 40); }},
      {.name = "FORWARD of 1233 bytes", .reason = reason_passed_forward,
       .shape = [](auto& s) { s.payload = message(FORWARD, 1233); }},
      {.name = "FORWARD of 39 bytes", .reason = reason_dropped_short,
       .shape = [](auto& s) { s.payload = message(FORWARD, 39); }},
      {.name = "unknown type, oversize", .reason = reason_dropped_type,
       .shape = [](auto& s) { s.payload = message(0x0003, 1300); }},
      {.name = "bad magic, oversize", .reason = reason_dropped_magic,
       .shape = [](auto& s) { s.payload = query(1300); s.payload[magic_offset] ^= 0x80; }},
      {.name = "bad magic, 39 bytes", .reason = reason_dropped_short,
       .shape = [](auto& s) { s.payload = query(39); s.payload[magic_offset] ^= 0x80; }},
      {.name = "magic byte-swapped", .reason = reason_dropped_magic,
       .shape = [](auto& s) { std::swap(s.payload[4], s.payload[5]); std::swap(s.payload[6], s.payload[7]); }},
  };
  // Every edge of the QUERY's length, odd lengths among them.
  for (const auto& [length, reason] :
       {std::pair{0, reason_dropped_short}, std::pair{1, reason_dropped_short},
        std::pair{39, reason_dropped_short}, std::pair{40, reason_answered}, std::pair{41, reason_answered},
        std::pair{43, reason_answered}, std::pair{555, reason_answered}, std::pair{1231, reason_answered},
        std::pair{1232, reason_answered}, std::pair{1233, reason_passed_oversize},
        std::pair{1300, reason_passed_oversize}}) {
    const auto bytes = static_cast<std::size_t>(length);
    cases.push_back({.name = "QUERY of " + std::to_string(bytes) + " bytes", .reason = reason,
                     .shape = [bytes](auto& s) { s.payload = query(bytes); }});
  }
  for (const std::uint16_t type : {QUERY_REPLY, FORWARD_REPLY, std::uint16_t{0x0000}, std::uint16_t{0x0003},
                                   std::uint16_t{0x0100}, std::uint16_t{0x0200}, std::uint16_t{0x0201},
                                   std::uint16_t{0xffff}}) {
    // 0100 and 0200 are QUERY and FORWARD with their bytes swapped.
    cases.push_back({.name = "other message types", .reason = reason_dropped_type,
                     .shape = [type](auto& s) { s.payload = message(type, 40); }});
  }
  for (std::size_t byte = magic_offset; byte < magic_offset + 4; ++byte) {
    for (const std::uint8_t change : {std::uint8_t{0x01}, std::uint8_t{0xff}}) {
      cases.push_back({.name = "one magic byte changed", .reason = reason_dropped_magic,
                       .shape = [byte, change](auto& s) { s.payload[byte] ^= change; }});
    }
  }
  return cases;
}

std::vector<frame_case> checksum_and_padding_cases() {
  return {
      {.name = "invalid UDP checksum, answered with one still invalid", .reason = reason_answered,
       .shape = [](auto& s) { s.checksum = checksum_kind::invalid; }},
      {.name = "invalid UDP checksum, odd length", .reason = reason_answered,
       .shape = [](auto& s) { s.checksum = checksum_kind::invalid; s.payload = query(77); }},
      {.name = "no UDP checksum over IPv4", .reason = reason_answered,
       .shape = [](auto& s) { s.checksum = checksum_kind::zero; }, .to = applies::ipv4},
      {.name = "no UDP checksum over IPv6", .reason = reason_passed_zero_checksum,
       .shape = [](auto& s) { s.checksum = checksum_kind::zero; }, .to = applies::ipv6},
      {.name = "no UDP checksum over IPv6, 39 bytes", .reason = reason_passed_zero_checksum,
       .shape = [](auto& s) { s.checksum = checksum_kind::zero; s.payload = query(39); }, .to = applies::ipv6},
      {.name = "request checksum computes to 0, sent as ffff", .reason = reason_answered,
       .spoil = [](auto& f) { steer_checksum_to_zero(f, false); }},
      {.name = "reply checksum computes to 0", .reason = reason_answered,
       .spoil = [](auto& f) { steer_checksum_to_zero(f, true); }},
      {.name = "reply checksum computes to 0, odd length", .reason = reason_answered,
       .shape = [](auto& s) { s.payload = query(123); },
       .spoil = [](auto& f) { steer_checksum_to_zero(f, true); }},
      {.name = "reply checksum computes to 0, longest", .reason = reason_answered,
       .shape = [](auto& s) { s.payload = query(1232); },
       .spoil = [](auto& f) { steer_checksum_to_zero(f, true); }},
      {.name = "IPv4 header checksum wrong, carried over", .reason = reason_answered,
       .shape = [](auto& s) { s.ipv4_header_checksum_valid = false; }, .to = applies::ipv4},
      {.name = "1 byte of Ethernet padding", .reason = reason_answered,
       .shape = [](auto& s) { s.trailer = {0xee}; }},
      {.name = "18 bytes of Ethernet padding after an odd payload", .reason = reason_answered,
       .shape = [](auto& s) { s.payload = query(41); s.trailer.assign(18, 0xee); }},
      {.name = "empty datagram padded to the Ethernet minimum", .reason = reason_dropped_short,
       .shape = [](auto& s) { s.payload = {}; },
       .spoil = [](auto& f) { f.bytes.resize(std::max<std::size_t>(f.bytes.size(), 60), 0); }},
      {.name = "lengths agree on 40 of 60 payload bytes, the rest padding", .reason = reason_answered,
       .shape = [](auto& s) { s.payload = query(60); }, .spoil = [](auto& f) { set_datagram_length(f, 48); }},
      {.name = "lengths agree on 39 of 60 payload bytes", .reason = reason_dropped_short,
       .shape = [](auto& s) { s.payload = query(60); }, .spoil = [](auto& f) { set_datagram_length(f, 47); }},
      {.name = "lengths agree on 1232 of 1240 payload bytes", .reason = reason_answered,
       .shape = [](auto& s) { s.payload = query(1240); },
       .spoil = [](auto& f) { set_datagram_length(f, 1240); }},
      {.name = "lengths agree on 1233 of 1240 payload bytes", .reason = reason_passed_oversize,
       .shape = [](auto& s) { s.payload = query(1240); },
       .spoil = [](auto& f) { set_datagram_length(f, 1241); }},
  };
}

std::vector<frame_case> address_cases(const test_host& host) {
  std::vector<frame_case> cases{
      {.name = "foreign destination MAC", .reason = reason_passed_not_local,
       .shape = [](auto& s) { s.destination_mac = {0x02, 0x00, 0x5e, 0x00, 0x53, 0x99}; }},
      {.name = "broadcast destination MAC", .reason = reason_passed_not_local,
       .shape = [](auto& s) { s.destination_mac = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff}; }},
      {.name = "destination MAC one bit off in the last byte", .reason = reason_passed_not_local,
       .shape = [](auto& s) { s.destination_mac[5] ^= 0x01; }},
      {.name = "destination MAC with the group bit added", .reason = reason_passed_not_local,
       .shape = [](auto& s) { s.destination_mac[0] |= 0x01; }},
      {.name = "group source MAC", .reason = reason_passed_bad_source,
       .shape = [](auto& s) { s.source_mac = {0x01, 0x00, 0x5e, 0x00, 0x00, 0x01}; }},
      {.name = "broadcast source MAC", .reason = reason_passed_bad_source,
       .shape = [](auto& s) { s.source_mac = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff}; }},
      {.name = "source MAC of the interface itself", .reason = reason_answered,
       .shape = [](auto& s) { s.source_mac = s.destination_mac; }},
      {.name = "foreign IPv4 destination", .reason = reason_passed_not_local,
       .shape = [](auto& s) { set_destination(s, "192.0.2.11"); }, .to = applies::ipv4},
      {.name = "IPv4 broadcast destination", .reason = reason_passed_not_local,
       .shape = [](auto& s) { set_destination(s, "255.255.255.255"); }, .to = applies::ipv4},
      {.name = "foreign IPv6 destination", .reason = reason_passed_not_local,
       .shape = [](auto& s) { set_destination(s, "2001:db8::11"); }, .to = applies::ipv6},
      {.name = "all-nodes IPv6 destination", .reason = reason_passed_not_local,
       .shape = [](auto& s) { set_destination(s, "ff02::1"); }, .to = applies::ipv6},
      {.name = "foreign MAC and a malformed length", .reason = reason_passed_not_local,
       .shape = [](auto& s) { s.destination_mac[5] ^= 0x01; }, .spoil = [](auto& f) { set_udp_length(f, 7); }},
      {.name = "source port 0", .reason = reason_passed_bad_source,
       .shape = [](auto& s) { s.source_port = 0; }},
      {.name = "source port 1", .reason = reason_answered, .shape = [](auto& s) { s.source_port = 1; }},
      {.name = "source port 1213", .reason = reason_answered, .shape = [](auto& s) { s.source_port = 1213; }},
      {.name = "bad source and a malformed length", .reason = reason_passed_malformed,
       .shape = [](auto& s) { s.source_port = 0; }, .spoil = [](auto& f) { set_udp_length(f, 7); }},
      {.name = "bad source and bad magic", .reason = reason_passed_bad_source,
       .shape = [](auto& s) { s.source_port = 0; s.payload[magic_offset] = 0; }},
      {.name = "bad source and no UDP checksum over IPv6", .reason = reason_passed_bad_source,
       .shape = [](auto& s) { s.source_port = 0; s.checksum = checksum_kind::zero; }, .to = applies::ipv6},
      {.name = "source the same as the destination", .reason = reason_passed_bad_source,
       .shape = [](auto& s) { s.source = s.destination; }},
  };
  // A subnet's own and broadcast address answered would reach its every
  // host; inside the subnet, and in a /31, every address is a host's.
  for (const auto& [source, reason] :
       {std::pair{"192.0.2.255", reason_passed_bad_source}, std::pair{"192.0.2.0", reason_passed_bad_source},
        std::pair{"192.0.2.254", reason_answered}, std::pair{"192.0.2.1", reason_answered},
        std::pair{"198.51.100.6", reason_answered}, std::pair{"198.51.100.255", reason_answered}}) {
    const char* address = source;
    cases.push_back({.name = std::string("source ") + address + " beside the host's subnets", .reason = reason,
                     .shape = [address](auto& s) { set_source(s, address); }, .to = applies::ipv4});
  }
  for (const char* destination : {"224.0.0.1", "239.255.255.250", "192.0.2.255", "192.0.2.0", "240.0.0.1"}) {
    cases.push_back({.name = "IPv4 group or subnet destination", .reason = reason_passed_not_local,
                     .shape = [destination](auto& s) { set_destination(s, destination); }, .to = applies::ipv4});
  }
  cases.push_back({.name = "IPv6 multicast destination", .reason = reason_passed_not_local,
                   .shape = [](auto& s) { set_destination(s, "ff05::1:3"); }, .to = applies::ipv6});
  // Only the VLANs the host is on (100 and 4094) are its; the priority and
  // drop eligibility bits say nothing of that.
  for (const auto& [tag, reason] :
       {std::pair{0x0064, reason_answered}, std::pair{0xf064, reason_answered}, std::pair{0x1064, reason_answered},
        std::pair{0x0ffe, reason_answered}, std::pair{0x0065, reason_passed_not_local},
        std::pair{0x00c8, reason_passed_not_local}, std::pair{0x0000, reason_passed_not_local},
        std::pair{0x2000, reason_passed_not_local}, std::pair{0x0fff, reason_passed_not_local},
        std::pair{0xefff, reason_passed_not_local}, std::pair{0x0164, reason_passed_not_local}}) {
    const auto tag_control = static_cast<std::uint16_t>(tag);
    cases.push_back({.name = "802.1Q tags", .reason = reason,
                     .spoil = [tag_control](auto& f) { set_vlan_tag(f, tag_control); }, .to = applies::tagged});
  }
  cases.push_back({.name = "VLAN not the host's, other port", .reason = reason_passed_other,
                   .shape = [](auto& s) { s.destination_port = 1214; },
                   .spoil = [](auto& f) { set_vlan_tag(f, 0x00c8); }, .to = applies::tagged});
  cases.push_back({.name = "VLAN not the host's, bad source", .reason = reason_passed_not_local,
                   .shape = [](auto& s) { s.source_port = 0; },
                   .spoil = [](auto& f) { set_vlan_tag(f, 0x0fff); }, .to = applies::tagged});
  // Every local address answers; the first of each family is the default.
  // A local IPv4 address written as ::ffff:a.b.c.d in an IPv6 header is not.
  for (const address16& local : host.local_addresses) {
    const bool mapped = local[10] == 0xff && local[11] == 0xff;
    cases.push_back({.name = "each local destination", .reason = reason_answered,
                     .shape = [local](auto& s) { s.destination = local; },
                     .to = mapped ? applies::ipv4 : applies::ipv6});
    if (mapped) {
      cases.push_back({.name = "local IPv4 address as an IPv6 destination", .reason = reason_passed_not_local,
                       .shape = [local](auto& s) { s.destination = local; }, .to = applies::ipv6});
    }
    cases.push_back({.name = "one of the host's own addresses as the source", .reason = reason_passed_bad_source,
                     .shape = [local](auto& s) { s.source = local; },
                     .to = mapped ? applies::ipv4 : applies::ipv6});
  }
  for (const char* source : {"0.0.0.0", "0.255.255.255", "127.0.0.1", "127.255.255.254", "224.0.0.1",
                             "239.255.255.255", "240.0.0.1", "255.255.255.255"}) {
    cases.push_back({.name = "bad IPv4 source", .reason = reason_passed_bad_source,
                     .shape = [source](auto& s) { set_source(s, source); }, .to = applies::ipv4});
  }
  for (const char* source : {"1.0.0.0", "10.0.0.1", "126.255.255.255", "128.0.0.0", "223.255.255.255",
                             "100.63.255.255", "100.128.0.0", "192.0.1.0", "192.88.98.255", "192.88.100.0",
                             "198.17.255.255", "198.20.0.0"}) {
    cases.push_back({.name = "IPv4 source next to a bad or guarded range", .reason = reason_answered,
                     .shape = [source](auto& s) { set_source(s, source); }, .to = applies::ipv4});
  }
  for (const char* source : {"ff02::1", "ff00::", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", "::", "::1",
                             "::ffff:192.0.2.1", "::ffff:0.0.0.0", "::ffff:255.255.255.255"}) {
    cases.push_back({.name = "bad IPv6 source", .reason = reason_passed_bad_source,
                     .shape = [source](auto& s) { set_source(s, source); }, .to = applies::ipv6});
  }
  for (const char* source : {"::1:0:0:0", "::1:ffff:c000:201", "::fffe:c000:201", "1::", "64:ff9b::1:0:0",
                             "64:ff9b:2::", "100:0:0:1::", "2001:1::1", "2001:3::", "2001:30::", "2001:db8::1",
                             "2003::", "5eff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", "5f01::", "fe80::1",
                             "febf:ffff::1", "fdff:ffff::1"}) {
    cases.push_back({.name = "IPv6 source next to a bad or guarded range", .reason = reason_answered,
                     .shape = [source](auto& s) { set_source(s, source); }, .to = applies::ipv6});
  }
  // Each end of every range the egress guard keeps.
  for (const address_prefix& range : host.guarded_sources) {
    for (const address16& source : {range.first, range.last()}) {
      cases.push_back({.name = "source in a range the egress guard keeps", .reason = reason_passed_bad_source,
                       .shape = [source](auto& s) { s.source = source; },
                       .to = range.ipv4 ? applies::ipv4 : applies::ipv6});
    }
  }
  for (const std::uint16_t port : {std::uint16_t{1212}, std::uint16_t{1214}, std::uint16_t{0},
                                   std::uint16_t{0xbd04}, std::uint16_t{0xffff}}) {
    // bd04 is 1213 with its bytes swapped.
    cases.push_back({.name = "other destination ports", .reason = reason_passed_other,
                     .shape = [port](auto& s) { s.destination_port = port; }});
  }
  cases.push_back({.name = "other destination port, foreign MAC", .reason = reason_passed_other,
                   .shape = [](auto& s) { s.destination_port = 1214; s.destination_mac[0] ^= 0x02; }});
  return cases;
}

std::vector<frame_case> ip_header_cases() {
  std::vector<frame_case> cases{
      {.name = "IPv4 options, 4 bytes", .reason = reason_passed_ip_options,
       .shape = [](auto& s) { s.ipv4_options = {1, 1, 1, 1}; }, .to = applies::ipv4},
      {.name = "IPv4 options, 40 bytes", .reason = reason_passed_ip_options,
       .shape = [](auto& s) { s.ipv4_options.assign(40, 1); }, .to = applies::ipv4},
      {.name = "IPv4 header length 6 words without options", .reason = reason_passed_ip_options,
       .spoil = [](auto& f) { set_ipv4_header_words(f, 6); }, .to = applies::ipv4},
      {.name = "IPv4 options and a fragment", .reason = reason_passed_ip_options,
       .shape = [](auto& s) { s.ipv4_options = {1, 1, 1, 1}; s.fragment = 0x2000; }, .to = applies::ipv4},
      {.name = "IPv4 header length 4 words", .reason = reason_passed_malformed,
       .spoil = [](auto& f) { set_ipv4_header_words(f, 4); }, .to = applies::ipv4},
      {.name = "IPv4 header length 0", .reason = reason_passed_malformed,
       .spoil = [](auto& f) { set_ipv4_header_words(f, 0); }, .to = applies::ipv4},
      {.name = "version 6 under the IPv4 ethertype", .reason = reason_passed_malformed,
       .spoil = [](auto& f) { set_version(f, 6); }, .to = applies::ipv4},
      {.name = "version 5 under the IPv4 ethertype", .reason = reason_passed_malformed,
       .spoil = [](auto& f) { set_version(f, 5); }, .to = applies::ipv4},
      {.name = "version 4 under the IPv6 ethertype", .reason = reason_passed_malformed,
       .spoil = [](auto& f) { set_version(f, 4); }, .to = applies::ipv6},
      {.name = "version 0 under the IPv6 ethertype", .reason = reason_passed_malformed,
       .spoil = [](auto& f) { set_version(f, 0); }, .to = applies::ipv6},
      {.name = "version 7 under the IPv6 ethertype", .reason = reason_passed_malformed,
       .spoil = [](auto& f) { set_version(f, 7); }, .to = applies::ipv6},
      {.name = "don't fragment", .reason = reason_answered,
       .shape = [](auto& s) { s.fragment = 0x4000; }, .to = applies::ipv4},
      {.name = "the reserved fragment flag", .reason = reason_answered,
       .shape = [](auto& s) { s.fragment = 0x8000; }, .to = applies::ipv4},
      {.name = "not UDP, other port", .reason = reason_passed_other,
       .shape = [](auto& s) { s.destination_port = 80; }, .spoil = [](auto& f) { f.bytes[f.network + 9] = 6; },
       .to = applies::ipv4},
      {.name = "a fragment, not UDP", .reason = reason_passed_fragment,
       .shape = [](auto& s) { s.fragment = 0x2000; }, .spoil = [](auto& f) { f.bytes[f.network + 9] = 6; },
       .to = applies::ipv4},
  };
  for (const std::uint16_t fragment : {std::uint16_t{0x2000}, std::uint16_t{0x0001}, std::uint16_t{0x1fff},
                                       std::uint16_t{0x6000}, std::uint16_t{0x4001}, std::uint16_t{0xbfff}}) {
    cases.push_back({.name = "IPv4 fragments", .reason = reason_passed_fragment,
                     .shape = [fragment](auto& s) { s.fragment = fragment; }, .to = applies::ipv4});
  }
  for (const std::uint8_t protocol : {0, 1, 6, 16, 18, 136, 255}) {
    cases.push_back({.name = "IPv4 protocols other than UDP", .reason = reason_passed_other,
                     .spoil = [protocol](auto& f) { f.bytes[f.network + ipv4_field::protocol] = protocol; },
                     .to = applies::ipv4});
  }
  for (const std::uint8_t next : {0, 6, 16, 18, 43, 44, 58, 59, 60, 136}) {
    // Extension headers are not followed: a UDP datagram behind one is passed.
    cases.push_back({.name = "IPv6 next headers other than UDP", .reason = reason_passed_other,
                     .spoil = [next](auto& f) { f.bytes[f.network + ipv6_field::next_header] = next; },
                     .to = applies::ipv6});
  }
  for (const std::uint16_t ethertype : {std::uint16_t{0x0806}, std::uint16_t{0x88a8}, std::uint16_t{0x9100},
                                        std::uint16_t{0x0801}, std::uint16_t{0x86dc}, std::uint16_t{0x0008},
                                        std::uint16_t{0xdd86}, std::uint16_t{0x0000}, std::uint16_t{0xffff}}) {
    // 0008 and dd86 are the IP ethertypes with their bytes swapped.
    cases.push_back({.name = "ethertypes other than IP", .reason = reason_passed_other,
                     .spoil = [ethertype](auto& f) { set_ethertype(f, ethertype); }, .not_ip = true});
  }
  cases.push_back({.name = "a second 802.1Q tag", .reason = reason_passed_other,
                   .spoil = [](auto& f) { set_ethertype(f, 0x8100); }, .to = applies::tagged, .not_ip = true});
  return cases;
}

std::vector<frame_case> length_cases() {
  std::vector<frame_case> cases{
      {.name = "802.1Q tag cut after 0 bytes", .reason = reason_passed_malformed,
       .spoil = [](auto& f) { f.bytes.resize(14); }, .to = applies::tagged, .not_ip = true},
      {.name = "802.1Q tag cut after 2 bytes", .reason = reason_passed_malformed,
       .spoil = [](auto& f) { f.bytes.resize(16); }, .to = applies::tagged, .not_ip = true},
      {.name = "802.1Q tag cut after 3 bytes", .reason = reason_passed_malformed,
       .spoil = [](auto& f) { f.bytes.resize(17); }, .to = applies::tagged, .not_ip = true},
      {.name = "Ethernet header alone", .reason = reason_passed_malformed,
       .spoil = [](auto& f) { f.bytes.resize(f.network); }},
      {.name = "IPv4 header cut to 19 bytes", .reason = reason_passed_malformed,
       .spoil = [](auto& f) { f.bytes.resize(f.network + 19); }, .to = applies::ipv4},
      {.name = "IPv6 header cut to 39 bytes", .reason = reason_passed_malformed,
       .spoil = [](auto& f) { f.bytes.resize(f.network + 39); }, .to = applies::ipv6},
      {.name = "UDP header cut to 7 bytes", .reason = reason_passed_malformed,
       .spoil = [](auto& f) { f.bytes.resize(f.udp() + 7); }},
      {.name = "UDP header cut to 7 bytes, IPv4 length to match", .reason = reason_passed_malformed,
       .spoil = [](auto& f) { f.bytes.resize(f.udp() + 7); set_ip_payload_length(f, 7); }, .to = applies::ipv4},
      {.name = "payload cut short", .reason = reason_passed_malformed,
       .spoil = [](auto& f) { f.bytes.resize(f.payload() + 20); }},
      {.name = "payload cut by one byte", .reason = reason_passed_malformed,
       .spoil = [](auto& f) { f.bytes.pop_back(); }},
      {.name = "IPv4 total length 0", .reason = reason_passed_malformed,
       .spoil = [](auto& f) { f.write16(f.network + ipv4_field::total_length, 0); }, .to = applies::ipv4},
      {.name = "IPv4 total length 19", .reason = reason_passed_malformed,
       .spoil = [](auto& f) { f.write16(f.network + ipv4_field::total_length, 19); }, .to = applies::ipv4},
      {.name = "IPv4 total length 20, no room for UDP", .reason = reason_passed_malformed,
       .spoil = [](auto& f) { f.write16(f.network + ipv4_field::total_length, 20); }, .to = applies::ipv4},
      {.name = "IPv6 payload length 0", .reason = reason_passed_malformed,
       .spoil = [](auto& f) { set_ip_payload_length(f, 0); }, .to = applies::ipv6},
      {.name = "IP length one beyond the frame", .reason = reason_passed_malformed,
       .spoil = [](auto& f) { set_ip_payload_length(f, datagram_length(f) + 1); }},
      {.name = "IP length one short of the UDP length", .reason = reason_passed_malformed,
       .spoil = [](auto& f) { set_ip_payload_length(f, datagram_length(f) - 1); }},
      {.name = "IP length covers the padding, UDP length does not", .reason = reason_passed_malformed,
       .shape = [](auto& s) { s.trailer.assign(4, 0); },
       .spoil = [](auto& f) { set_ip_payload_length(f, datagram_length(f) + 4); }},
      {.name = "UDP length 0", .reason = reason_passed_malformed,
       .spoil = [](auto& f) { set_udp_length(f, 0); }},
      {.name = "UDP length 7", .reason = reason_passed_malformed,
       .spoil = [](auto& f) { set_udp_length(f, 7); }},
      {.name = "UDP length 8 in a longer datagram", .reason = reason_passed_malformed,
       .spoil = [](auto& f) { set_udp_length(f, 8); }},
      {.name = "UDP length one more than the IP length", .reason = reason_passed_malformed,
       .spoil = [](auto& f) { set_udp_length(f, datagram_length(f) + 1); }},
      {.name = "UDP length one less than the IP length", .reason = reason_passed_malformed,
       .spoil = [](auto& f) { set_udp_length(f, datagram_length(f) - 1); }},
      {.name = "UDP length ffff", .reason = reason_passed_malformed,
       .spoil = [](auto& f) { set_udp_length(f, 0xffff); }},
      {.name = "lengths agree on 7 bytes", .reason = reason_passed_malformed,
       .spoil = [](auto& f) { set_datagram_length(f, 7); }},
      {.name = "lengths agree, one byte beyond the frame", .reason = reason_passed_malformed,
       .spoil = [](auto& f) { set_datagram_length(f, datagram_length(f) + 1); }},
  };
  return cases;
}

struct base_frame {
  const char* name;
  bool ipv6;
  bool tagged;
};

constexpr std::array<base_frame, 4> bases{{{"IPv4", false, false},
                                           {"IPv4 802.1Q", false, true},
                                           {"IPv6", true, false},
                                           {"IPv6 802.1Q", true, true}}};

bool case_applies(const frame_case& c, const base_frame& base) {
  switch (c.to) {
    case applies::always: return true;
    case applies::ipv4: return !base.ipv6;
    case applies::ipv6: return base.ipv6;
    case applies::tagged: return base.tagged;
  }
  return false;
}

const address16& first_local(const test_host& host, bool ipv6) {
  for (const auto& address : host.local_addresses) {
    if ((address[10] == 0xff && address[11] == 0xff) != ipv6) return address;
  }
  throw std::invalid_argument("the test host needs a local address of each family");
}

// A valid 40-byte QUERY to the host, with header fields the reply must
// carry over set to something other than their defaults.
udp_frame_spec base_spec(const test_host& host, const base_frame& base) {
  udp_frame_spec s;
  s.destination_mac = host.interface_mac;
  s.source_mac = {0x02, 0x00, 0x5e, 0x00, 0x53, 0x01};
  if (base.tagged) s.vlan_tag = 0x2064;
  s.ipv6 = base.ipv6;
  s.source = address_of(base.ipv6 ? "2001:db8:5::5" : "203.0.113.5");
  s.destination = first_local(host, base.ipv6);
  s.source_port = 40000;
  s.payload = query(header_size);
  s.traffic_class = 0x2a;
  s.hop_limit = 57;
  s.flow_label = 0xabcde;
  s.identification = 0x1234;
  return s;
}

}  // namespace

std::vector<crafted_frame> crafted_frames(const test_host& host) {
  std::vector<frame_case> cases = payload_cases();
  for (auto group : {checksum_and_padding_cases(), address_cases(host), ip_header_cases(), length_cases()}) {
    cases.insert(cases.end(), group.begin(), group.end());
  }
  std::vector<crafted_frame> frames;
  for (const frame_case& c : cases) {
    for (const base_frame& base : bases) {
      if (!case_applies(c, base)) continue;
      udp_frame_spec plan = base_spec(host, base);
      if (c.shape) c.shape(plan);
      built_frame built = build_frame(plan);
      if (c.spoil) c.spoil(built);
      const fast_path_family family = c.not_ip ? family_other : base.ipv6 ? family_ipv6 : family_ipv4;
      frames.push_back({std::string(base.name) + ": " + c.name + " #" + std::to_string(frames.size()),
                        std::move(built.bytes), c.reason, family});
    }
  }
  return frames;
}

}  // namespace reflector::xdp::test
