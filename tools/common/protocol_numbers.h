// Help texts and messages name the protocol's fixed numbers through
// placeholders that are filled in from protocol/message_layout.h, so what the
// tools say cannot drift from what they and the service do:
//   {service_port}  {header_size}  {longest_request}  {lowest_forward_port}
#pragma once

#include <string>
#include <string_view>

namespace reflector::tools {

// text with every placeholder above replaced by its number; any other text,
// braces included, is kept as it is.
std::string with_protocol_numbers(std::string_view text);

}  // namespace reflector::tools
