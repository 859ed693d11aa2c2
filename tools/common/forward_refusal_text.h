// Why the service would refuse a FORWARD target, in words, so that the tools
// can say which rule a target breaks before any request is sent.
#pragma once

#include <optional>
#include <string>

#include "protocol/forward_target_filter.h"
#include "tools/common/socket_endpoint.h"

namespace reflector::tools {

// "its port is below 1024", "it is a private address", ...
std::string refusal_text(forward_refusal refusal);

// "the service refuses to forward to 10.0.0.1:5000: it is a private
// address"; nullopt when the service accepts target.
std::optional<std::string> forward_refusal_message(const socket_endpoint& target);

}  // namespace reflector::tools
