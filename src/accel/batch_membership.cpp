#include "accel/operations.hpp"

namespace arborvane {

std::vector<uint8_t> has_edges(const GraphState& graph, std::span<const IdPair> pairs) {
  std::vector<uint8_t> out(pairs.size());
  for (size_t i = 0; i < pairs.size(); ++i) {
    const NeighborSet* set = graph.neighbors_of(pairs[i].first);
    out[i] = set && set->contains(pairs[i].second);
  }
  return out;
}

}  // namespace arborvane
