#include "tests/xdp/frame_builder.h"

#include <stdexcept>

namespace reflector::xdp::test {
namespace {

void append16(std::vector<std::uint8_t>& out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value >> 8));
  out.push_back(static_cast<std::uint8_t>(value));
}

void append_ipv4_header(std::vector<std::uint8_t>& out, const udp_frame_spec& plan,
                        std::size_t udp_length) {
  std::vector<std::uint8_t> options = plan.ipv4_options;
  options.resize((options.size() + 3) / 4 * 4, 0);
  if (options.size() > 40) throw std::invalid_argument("IPv4 options longer than 40 bytes");
  const std::size_t header_length = 20 + options.size();
  const std::size_t start = out.size();
  out.push_back(static_cast<std::uint8_t>(0x40 | header_length / 4));
  out.push_back(plan.traffic_class);
  append16(out, static_cast<std::uint16_t>(header_length + udp_length));
  append16(out, plan.identification);
  append16(out, plan.fragment);
  out.push_back(plan.hop_limit);
  out.push_back(17);
  append16(out, 0);
  out.insert(out.end(), plan.source.begin() + 12, plan.source.end());
  out.insert(out.end(), plan.destination.begin() + 12, plan.destination.end());
  out.insert(out.end(), options.begin(), options.end());
  std::uint16_t checksum =
      ipv4_header_checksum(std::span(out).subspan(start, header_length));
  if (!plan.ipv4_header_checksum_valid) checksum ^= 0x0400;
  out[start + ipv4_field::checksum] = static_cast<std::uint8_t>(checksum >> 8);
  out[start + ipv4_field::checksum + 1] = static_cast<std::uint8_t>(checksum);
}

void append_ipv6_header(std::vector<std::uint8_t>& out, const udp_frame_spec& plan,
                        std::size_t udp_length) {
  out.push_back(static_cast<std::uint8_t>(0x60 | plan.traffic_class >> 4));
  out.push_back(static_cast<std::uint8_t>((plan.traffic_class & 0x0f) << 4 |
                                          (plan.flow_label >> 16 & 0x0f)));
  append16(out, static_cast<std::uint16_t>(plan.flow_label));
  append16(out, static_cast<std::uint16_t>(udp_length));
  out.push_back(17);
  out.push_back(plan.hop_limit);
  out.insert(out.end(), plan.source.begin(), plan.source.end());
  out.insert(out.end(), plan.destination.begin(), plan.destination.end());
}

// Any change of a single bit moves the sum by a power of two, never by a
// multiple of ffff, so the result cannot verify; it is kept off 0, which
// would mean "no checksum" instead.
std::uint16_t spoiled(std::uint16_t checksum) {
  const auto once = static_cast<std::uint16_t>(checksum ^ 0x0100);
  return once != 0 && once != 0xffff ? once : static_cast<std::uint16_t>(checksum ^ 0x0001);
}

}  // namespace

std::uint16_t built_frame::read16(std::size_t offset) const {
  return static_cast<std::uint16_t>(bytes.at(offset) << 8 | bytes.at(offset + 1));
}

void built_frame::write16(std::size_t offset, std::uint16_t value) {
  bytes.at(offset) = static_cast<std::uint8_t>(value >> 8);
  bytes.at(offset + 1) = static_cast<std::uint8_t>(value);
}

void built_frame::recompute_udp_checksum() {
  write16(datagram.udp + udp_checksum_field, udp_checksum(bytes, datagram));
}

built_frame build_frame(const udp_frame_spec& plan) {
  built_frame frame;
  auto& out = frame.bytes;
  out.reserve(18 + 40 + 40 + 8 + plan.payload.size() + plan.trailer.size());
  out.insert(out.end(), plan.destination_mac.begin(), plan.destination_mac.end());
  out.insert(out.end(), plan.source_mac.begin(), plan.source_mac.end());
  if (plan.vlan_tag) {
    append16(out, 0x8100);
    append16(out, *plan.vlan_tag);
  }
  append16(out, plan.ipv6 ? 0x86dd : 0x0800);

  const std::size_t udp_length = 8 + plan.payload.size();
  frame.network = out.size();
  if (plan.ipv6) {
    append_ipv6_header(out, plan, udp_length);
  } else {
    append_ipv4_header(out, plan, udp_length);
  }
  frame.datagram = udp_location{plan.ipv6, frame.network, out.size(), udp_length};
  append16(out, plan.source_port);
  append16(out, plan.destination_port);
  append16(out, static_cast<std::uint16_t>(udp_length));
  append16(out, 0);
  out.insert(out.end(), plan.payload.begin(), plan.payload.end());

  if (plan.checksum != checksum_kind::zero) {
    const std::uint16_t valid = udp_checksum(out, frame.datagram);
    frame.write16(frame.udp() + udp_checksum_field,
                  plan.checksum == checksum_kind::valid ? valid : spoiled(valid));
  }
  out.insert(out.end(), plan.trailer.begin(), plan.trailer.end());
  return frame;
}

}  // namespace reflector::xdp::test
