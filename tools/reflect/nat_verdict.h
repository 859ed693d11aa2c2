// What the observations of 'reflect nat' say about the NAT. Kept apart from
// the network so that the reasoning can be checked on its own.
#pragma once

#include <string>

#include "protocol/endpoint_encoding.h"

namespace reflector::tools {

struct nat_observations {
  wire_endpoint local;        // the first socket as this host sees it
  wire_endpoint mapped_by_a;  // the first socket as server A saw it
  wire_endpoint mapped_by_b;  // the first socket as server B saw it
  bool forward_from_b_arrived = false;  // B's FORWARD_REPLY reached the first socket
  bool control_from_a_arrived = false;  // A's FORWARD_REPLY reached the first socket
};

enum class mapping_behaviour { endpoint_independent, endpoint_dependent };
enum class filtering_behaviour { endpoint_independent, endpoint_dependent, inconclusive };

struct nat_verdict {
  bool translated = false;  // A saw something other than this host's own endpoint
  mapping_behaviour mapping = mapping_behaviour::endpoint_independent;
  filtering_behaviour filtering = filtering_behaviour::inconclusive;
};

nat_verdict classify(const nat_observations& seen);

std::string describe(mapping_behaviour mapping);
std::string describe(filtering_behaviour filtering);

}  // namespace reflector::tools
