#include "tests/xdp/random_frames.h"

#include <algorithm>
#include <cstring>

#include "protocol/message_layout.h"

namespace reflector::xdp::test {
namespace {

bool is_mapped(const address16& address) { return address[10] == 0xff && address[11] == 0xff; }

// Sources at and next to the edges of the ranges that must not be answered;
// those of the egress guard's ranges are added from the test host.
const std::vector<address16>& edge_sources() {
  static const std::vector<address16> edges = [] {
    std::vector<address16> out;
    for (const char* text :
         {"0.0.0.0", "0.0.0.1", "1.0.0.0", "126.255.255.255", "127.0.0.1", "127.255.255.255",
          "128.0.0.0", "223.255.255.255", "224.0.0.0", "239.1.2.3", "240.0.0.0", "255.255.255.255",
          "::", "::1", "::2", "::ffff:0:0", "::ffff:192.0.2.1", "::fffe:c000:201", "::1:ffff:c000:201",
          "ff02::1", "ff00::", "feff:ffff::1", "fe80::1", "64:ff9b::1", "::192.0.2.1"}) {
      out.push_back(address_of(text));
    }
    return out;
  }();
  return edges;
}

const std::vector<std::uint16_t>& message_types() {
  static const std::vector<std::uint16_t> types{QUERY_REPLY, FORWARD_REPLY, 0x0000, 0x0003, 0x0100,
                                                0x0200,      0x0201,        0x0301, 0xffff};
  return types;
}

const std::vector<std::size_t>& edge_lengths() {
  static const std::vector<std::size_t> lengths{0,    1,    2,    38,   39,   40,   41,
                                                42,   43,   1230, 1231, 1232, 1233, 1234};
  return lengths;
}

// Each end of a subnet and the address just inside it.
std::vector<address16> subnet_edges(const ipv4_subnet& subnet) {
  std::uint32_t own = 0;
  for (std::size_t i = 12; i < 16; ++i) own = own << 8 | subnet.address[i];
  const std::uint32_t host_part =
      static_cast<std::uint32_t>((std::uint64_t{1} << (32 - subnet.prefix_length)) - 1);
  const std::uint32_t first = own & ~host_part;
  const std::uint32_t last = own | host_part;
  std::vector<address16> edges;
  for (const std::uint32_t address : {first, first + 1, last - 1, last}) {
    address16 a{};
    a[10] = a[11] = 0xff;
    for (int i = 0; i < 4; ++i) a[12 + i] = static_cast<std::uint8_t>(address >> (24 - 8 * i));
    edges.push_back(a);
  }
  return edges;
}

}  // namespace

random_bits::random_bits(std::uint64_t seed) {
  for (auto& word : state_) {
    seed += 0x9e3779b97f4a7c15ULL;
    std::uint64_t z = seed;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    word = z ^ (z >> 31);
  }
}

std::uint64_t random_bits::operator()() {
  const auto rotate = [](std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); };
  const std::uint64_t result = rotate(state_[1] * 5, 7) * 9;
  const std::uint64_t t = state_[1] << 17;
  state_[2] ^= state_[0];
  state_[3] ^= state_[1];
  state_[1] ^= state_[2];
  state_[0] ^= state_[3];
  state_[2] ^= t;
  state_[3] = rotate(state_[3], 45);
  return result;
}

random_frames::random_frames(std::uint64_t seed, const test_host& host)
    : engine_(seed), host_(host), edge_sources_(edge_sources()) {
  for (const auto& address : host.local_addresses) {
    (is_mapped(address) ? local_ipv4_ : local_ipv6_).push_back(address);
  }
  for (const auto& range : host.guarded_sources) {
    for (const auto& edge : edges_of(range)) edge_sources_.push_back(edge);
  }
  for (const auto& subnet : host.ipv4_subnets) {
    for (const auto& edge : subnet_edges(subnet)) edge_sources_.push_back(edge);
  }
}

std::vector<std::uint8_t> random_frames::next() {
  if (percent(1)) return noise();
  built_frame frame = build_frame(datagram());
  if (percent(20)) spoil(frame);
  return std::move(frame.bytes);
}

udp_frame_spec random_frames::datagram() {
  udp_frame_spec s;
  s.ipv6 = percent(50);
  if (percent(20)) {
    // Mostly the host's VLANs, with any priority; now and then any tag.
    const std::uint16_t priority = static_cast<std::uint16_t>(word() & 0xf000);
    s.vlan_tag = percent(70) ? static_cast<std::uint16_t>(priority | pick(host_.vlans)) : word();
  }

  s.destination_mac = host_.interface_mac;
  if (percent(6)) {
    for (auto& b : s.destination_mac) b = byte();
  } else if (percent(4)) {
    s.destination_mac[below(6)] ^= static_cast<std::uint8_t>(1u << below(8));
  }
  for (auto& b : s.source_mac) b = byte();
  if (!percent(8)) s.source_mac[0] &= 0xfe;  // mostly unicast

  s.source = source_address(s.ipv6);
  s.destination = destination_address(s.ipv6);
  s.source_port = percent(3) ? std::uint16_t{0} : word();
  if (percent(8)) {
    const std::uint16_t near[] = {1212, 1214, 0xbd04, 0};
    s.destination_port = percent(50) ? word() : near[below(4)];
  }

  s.payload = payload();
  const unsigned checksum = static_cast<unsigned>(below(10));
  s.checksum = checksum < 8    ? checksum_kind::valid
               : checksum == 8 ? checksum_kind::invalid
                               : checksum_kind::zero;
  s.traffic_class = byte();
  s.hop_limit = byte();
  s.flow_label = static_cast<std::uint32_t>(engine_() & 0xfffff);
  s.identification = word();
  if (percent(50)) s.fragment = 0x4000;
  if (percent(5)) s.fragment = word();
  if (!s.ipv6 && percent(4)) {
    s.ipv4_options.resize(1 + below(40));
    fill(s.ipv4_options);
  }
  s.ipv4_header_checksum_valid = !percent(5);

  const std::size_t unpadded = 14 + (s.vlan_tag ? 4 : 0) + (s.ipv6 ? 40 : 20) + 8 + s.payload.size();
  s.trailer = trailer(unpadded);
  return s;
}

address16 random_frames::source_address(bool ipv6) {
  if (percent(1)) return pick(host_.local_addresses);  // the host's own, as a forger would
  if (percent(12)) {
    // An IPv6 header carries any of them, IPv4-mapped ones too.
    const address16& edge = pick(edge_sources_);
    if (ipv6 || is_mapped(edge)) return edge;
  }
  address16 a{};
  if (ipv6) {
    for (auto& b : a) b = byte();
    if (a[0] == 0xff) a[0] = 0x20;
  } else {
    a[10] = a[11] = 0xff;
    for (std::size_t i = 12; i < 16; ++i) a[i] = byte();
    if (a[12] == 0 || a[12] == 127 || a[12] >= 224) a[12] = 198;
  }
  return a;
}

address16 random_frames::destination_address(bool ipv6) {
  const auto& locals = ipv6 ? local_ipv6_ : local_ipv4_;
  if (percent(2)) return pick(host_.local_addresses);  // either family's, in the other's header too
  address16 a = pick(locals);
  if (percent(8)) a[15 - below(ipv6 ? 16 : 4)] ^= static_cast<std::uint8_t>(1u << below(8));
  if (percent(3)) {
    for (std::size_t i = ipv6 ? 0 : 12; i < 16; ++i) a[i] = byte();
  }
  return a;
}

std::vector<std::uint8_t> random_frames::payload() {
  const std::size_t length = percent(35) ? pick(edge_lengths()) : below(1300);
  std::vector<std::uint8_t> p(std::max(length, header_size));
  fill(p);
  if (!percent(8)) std::copy(magic.begin(), magic.end(), p.begin() + magic_offset);
  if (percent(6)) p[magic_offset + below(4)] ^= static_cast<std::uint8_t>(1u << below(8));
  const unsigned type = static_cast<unsigned>(below(100));
  const std::uint16_t chosen = type < 65   ? QUERY
                               : type < 80 ? FORWARD
                               : type < 95 ? pick(message_types())
                                           : word();
  write_type(p.data(), chosen);
  p.resize(length);
  return p;
}

std::vector<std::uint8_t> random_frames::trailer(std::size_t frame_size) {
  std::vector<std::uint8_t> t;
  const unsigned kind = static_cast<unsigned>(below(100));
  if (kind < 70) return t;
  if (kind < 85 && frame_size < 60) {
    t.assign(60 - frame_size, 0);  // the Ethernet minimum
  } else {
    t.resize(1 + below(kind < 95 ? 8 : 40));
    fill(t);
  }
  return t;
}

// One way of breaking a well-formed frame: overwritten header bytes, a
// length field set to something else, both lengths agreeing on something
// else, a frame cut short.
void random_frames::spoil(built_frame& frame) {
  auto& bytes = frame.bytes;
  const std::size_t header_end = std::min(bytes.size(), frame.payload() + header_size);
  switch (below(6)) {
    case 0:
      for (std::uint64_t n = 1 + below(3); n > 0; --n) bytes[below(header_end)] = byte();
      break;
    case 1: {
      const std::size_t field = frame.datagram.ipv6 ? frame.network + ipv6_field::payload_length
                                                    : frame.network + ipv4_field::total_length;
      const std::size_t target = percent(50) ? field : frame.udp() + udp_field::length;
      const std::uint16_t now = frame.read16(target);
      frame.write16(target, percent(50) ? word() : static_cast<std::uint16_t>(now + below(7) - 3));
      break;
    }
    case 2: {
      // Both lengths agree on a datagram shorter or longer than the frame holds.
      const std::size_t length = percent(50) ? below(frame.datagram.length + 16) : frame.datagram.length - 1;
      if (frame.datagram.ipv6) {
        frame.write16(frame.network + ipv6_field::payload_length, static_cast<std::uint16_t>(length));
      } else {
        const std::size_t header = frame.udp() - frame.network;
        frame.write16(frame.network + ipv4_field::total_length, static_cast<std::uint16_t>(header + length));
      }
      frame.write16(frame.udp() + udp_field::length, static_cast<std::uint16_t>(length));
      frame.datagram.length = length;
      if (length >= 8 && frame.udp() + length <= bytes.size() && percent(80)) frame.recompute_udp_checksum();
      break;
    }
    case 3:
      bytes.resize(14 + below(bytes.size() - 14));
      break;
    case 4: {
      const std::uint16_t ethertypes[] = {0x0800, 0x86dd, 0x8100, 0x0806, 0x88a8};
      frame.write16(percent(50) ? 12 : frame.network - 2, percent(50) ? word() : ethertypes[below(5)]);
      break;
    }
    default:
      bytes[frame.network + (frame.datagram.ipv6 ? ipv6_field::next_header : ipv4_field::protocol)] =
          percent(50) ? byte() : std::uint8_t{17};
      bytes[frame.network] = static_cast<std::uint8_t>(percent(50) ? byte() : bytes[frame.network] ^ 0x10);
      break;
  }
}

// Random for the first 64 bytes, which hold every header field the rules
// read; after that those 64 bytes repeat, as good as any for the checksum,
// which keeps a million frames quick to draw.
void random_frames::fill(std::vector<std::uint8_t>& bytes) {
  constexpr std::size_t drawn = 64;
  for (std::size_t i = 0; i < std::min(bytes.size(), drawn); i += 8) {
    const std::uint64_t draw = engine_();
    std::uint8_t chunk[8];
    for (int k = 0; k < 8; ++k) chunk[k] = static_cast<std::uint8_t>(draw >> (8 * k));
    std::memcpy(bytes.data() + i, chunk, std::min<std::size_t>(8, bytes.size() - i));
  }
  for (std::size_t i = drawn; i < bytes.size(); i += drawn) {
    std::memcpy(bytes.data() + i, bytes.data(), std::min(drawn, bytes.size() - i));
  }
}

std::vector<std::uint8_t> random_frames::noise() {
  std::vector<std::uint8_t> bytes(14 + below(200));
  fill(bytes);
  const std::uint16_t ethertypes[] = {0x0800, 0x86dd, 0x8100};
  const std::uint16_t ethertype = ethertypes[below(3)];
  bytes[12] = static_cast<std::uint8_t>(ethertype >> 8);
  bytes[13] = static_cast<std::uint8_t>(ethertype);
  return bytes;
}

}  // namespace reflector::xdp::test
