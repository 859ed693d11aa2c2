#include "tools/reflect/nat_verdict.h"

namespace reflector::tools {
namespace {

// Without a working control there is no telling a filter from a lost or
// refused forward, so nothing is concluded.
filtering_behaviour classify_filtering(const nat_observations& seen) {
  if (!seen.control_from_a_arrived) return filtering_behaviour::inconclusive;
  return seen.forward_from_b_arrived ? filtering_behaviour::endpoint_independent
                                     : filtering_behaviour::endpoint_dependent;
}

}  // namespace

nat_verdict classify(const nat_observations& seen) {
  nat_verdict verdict;
  verdict.translated = seen.mapped_by_a != seen.local;
  verdict.mapping = seen.mapped_by_a == seen.mapped_by_b ? mapping_behaviour::endpoint_independent
                                                         : mapping_behaviour::endpoint_dependent;
  verdict.filtering = classify_filtering(seen);
  return verdict;
}

std::string describe(mapping_behaviour mapping) {
  return mapping == mapping_behaviour::endpoint_independent ? "endpoint-independent"
                                                            : "endpoint-dependent";
}

std::string describe(filtering_behaviour filtering) {
  switch (filtering) {
    case filtering_behaviour::endpoint_independent: return "endpoint-independent";
    case filtering_behaviour::endpoint_dependent: return "endpoint-dependent";
    case filtering_behaviour::inconclusive: return "inconclusive";
  }
  return "inconclusive";
}

}  // namespace reflector::tools
