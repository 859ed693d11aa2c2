#include "tests/xdp/egress_guard_ranges.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace reflector::xdp::test {
namespace {

// The ruleset without its comments.
std::string ruleset_text(const std::string& path) {
  std::ifstream file(path);
  if (!file) throw std::runtime_error("cannot read the egress guard ruleset " + path);
  std::string text;
  std::string line;
  while (std::getline(file, line)) {
    text += line.substr(0, line.find('#'));
    text += '\n';
  }
  return text;
}

// The text between the braces of `elements = { ... }` in `set <name> {`.
std::string set_elements(const std::string& text, const std::string& name) {
  const std::size_t set = text.find("set " + name + " {");
  const std::size_t elements = set == std::string::npos ? set : text.find("elements = {", set);
  const std::size_t end = elements == std::string::npos ? elements : text.find('}', elements);
  if (end == std::string::npos) throw std::runtime_error("the egress guard ruleset has no set " + name);
  const std::size_t start = elements + std::string("elements = {").size();
  return text.substr(start, end - start);
}

address_prefix parse_prefix(const std::string& element, bool ipv4) {
  const std::size_t slash = element.find('/');
  if (slash == std::string::npos) throw std::runtime_error("not a prefix in the egress guard: " + element);
  address_prefix prefix;
  prefix.ipv4 = ipv4;
  const std::string address = element.substr(0, slash);
  // address_of reads dotted IPv4 as ::ffff:a.b.c.d.
  prefix.first = reflector::test::address_of(address);
  prefix.bits = static_cast<unsigned>(std::stoul(element.substr(slash + 1))) + (ipv4 ? 96 : 0);
  if (prefix.bits > 128 || (address.find(':') == std::string::npos) != ipv4) {
    throw std::runtime_error("not a prefix of its set in the egress guard: " + element);
  }
  return prefix;
}

void add_set(std::vector<address_prefix>& out, const std::string& text, const std::string& name, bool ipv4) {
  std::string elements = set_elements(text, name);
  for (char& c : elements) {
    if (c == ',') c = ' ';
  }
  std::istringstream words(elements);
  std::string element;
  std::size_t found = 0;
  while (words >> element) {
    out.push_back(parse_prefix(element, ipv4));
    ++found;
  }
  if (found == 0) throw std::runtime_error("the egress guard's set " + name + " is empty");
}

bool host_bit(unsigned bit, unsigned prefix_bits) { return bit >= prefix_bits; }

address16 plus(address16 a, int delta) {
  for (int i = 15; i >= 0; --i) {
    const int value = a[static_cast<std::size_t>(i)] + delta;
    a[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value & 0xff);
    if (value >= 0 && value <= 0xff) break;
    delta = value < 0 ? -1 : 1;
  }
  return a;
}

bool is_mapped(const address16& a) {
  for (std::size_t i = 0; i < 10; ++i) {
    if (a[i] != 0) return false;
  }
  return a[10] == 0xff && a[11] == 0xff;
}

}  // namespace

bool address_prefix::contains(const address16& address) const {
  const unsigned whole = bits / 8;
  if (!std::equal(first.begin(), first.begin() + whole, address.begin())) return false;
  if (bits % 8 == 0) return true;
  const auto mask = static_cast<std::uint8_t>(0xff00u >> (bits % 8));
  return (address[whole] & mask) == (first[whole] & mask);
}

address16 address_prefix::last() const {
  address16 out = first;
  for (unsigned bit = 0; bit < 128; ++bit) {
    if (host_bit(bit, bits)) out[bit / 8] |= static_cast<std::uint8_t>(0x80u >> (bit % 8));
  }
  return out;
}

std::vector<address_prefix> egress_guard_ranges(const std::string& ruleset_path) {
  const std::string text = ruleset_text(ruleset_path);
  std::vector<address_prefix> ranges;
  add_set(ranges, text, "special_ipv4", true);
  add_set(ranges, text, "special_ipv6", false);
  return ranges;
}

std::vector<address16> edges_of(const address_prefix& prefix) {
  std::vector<address16> edges;
  for (const address16& edge : {prefix.first, prefix.last(), plus(prefix.first, -1), plus(prefix.last(), 1)}) {
    if (!prefix.ipv4 || is_mapped(edge)) edges.push_back(edge);
  }
  return edges;
}

}  // namespace reflector::xdp::test
