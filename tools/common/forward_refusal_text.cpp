#include "tools/common/forward_refusal_text.h"

#include "protocol/message_layout.h"

namespace reflector::tools {

std::string refusal_text(forward_refusal refusal) {
  switch (refusal) {
    case forward_refusal::none: return "it is accepted";
    case forward_refusal::port_too_low:
      return "its port is below " + std::to_string(lowest_forward_port);
    case forward_refusal::loopback: return "it is a loopback address";
    case forward_refusal::private_range: return "it is a private address";
    case forward_refusal::link_local: return "it is a link-local address";
    case forward_refusal::multicast: return "it is a multicast address";
    case forward_refusal::unspecified: return "it is an unspecified address";
    case forward_refusal::broadcast: return "it is the broadcast address";
  }
  return "it breaks a rule";
}

std::optional<std::string> forward_refusal_message(const socket_endpoint& target) {
  const wire_endpoint wire = target.wire();
  const forward_refusal refusal = forward_target_refusal(port_number(wire), wire.address);
  if (refusal == forward_refusal::none) return std::nullopt;
  return "the service refuses to forward to " + target.text() + ": " + refusal_text(refusal);
}

}  // namespace reflector::tools
