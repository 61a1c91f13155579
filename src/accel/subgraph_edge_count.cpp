// Edges of the subgraph induced by a list of ids, each counted once from its
// smaller end (a self-loop once, from its only end).
#include "accel/operations.hpp"

namespace arborvane {

uint64_t subgraph_edge_count(const GraphState& graph, std::span<const int64_t> ids) {
  IdSet members;
  if (!ids.empty()) members.reserve(ids.size());
  for (int64_t id : ids) members.insert(id);
  if (graph.adjacency.empty()) return 0;

  uint64_t count = 0;
  members.for_each([&](int64_t v, NoValue) {
    const NeighborSet* set = graph.adjacency.find(v);
    if (!set) return;
    set->for_each([&](int64_t w) {
      if (w >= v && members.contains(w)) ++count;
    });
  });
  return count;
}

}  // namespace arborvane
