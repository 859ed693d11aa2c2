// What the observations of 'reflect nat' say about the NAT. Kept apart from
// the network so that the reasoning can be checked on its own.
#pragma once

#include <string>

#include "protocol/endpoint_encoding.h"

namespace reflector::tools {

struct nat_observations {
  wire_endpoint local;        // the mapping probe's socket as this host sees it
  wire_endpoint mapped_by_a;  // that socket as server A saw it
  wire_endpoint mapped_by_b;  // that socket as server B saw it
  // Whether FORWARD_REPLYs from B and, as the control, from A reached a
  // socket that only A had been sent to.
  bool forward_from_b_arrived = false;
  bool control_from_a_arrived = false;
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
