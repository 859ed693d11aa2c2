// The reflection protocol: message layout, endpoint encoding, the forward
// target filter and handle_message, which turns one received datagram into
// its reply in place.
#pragma once

#include <cstdint>
#include <span>

#include "protocol/endpoint_encoding.h"
#include "protocol/forward_target_filter.h"
#include "protocol/message_layout.h"

namespace reflector {

// Handles one batch slot in place.
//   address, port: the slot's sin6_addr and sin6_port (network order), the
//                  sender on entry; the target after a FORWARD.
//   buffer:        the received datagram; becomes the reply.
//   length:        the received byte count; never changed, so a reply is
//                  exactly as long as its request.
//   drop:          preset to true by the caller; cleared for a valid QUERY,
//                  and for a valid FORWARD whose target passes the filter.
// No byte of buffer is touched unless length >= header_size; then at most
// bytes 4-39 are read and bytes 20-39 written. Invalid datagrams, reply types
// included, are left untouched with drop still true. Allocates nothing, makes
// no system call, keeps no state.
void handle_message(std::span<std::uint8_t, 16> address, std::uint16_t& port,
                    std::uint8_t* buffer, const std::uint32_t& length, bool& drop) noexcept;

}  // namespace reflector
