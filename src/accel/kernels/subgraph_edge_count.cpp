// Edges of the subgraph induced by a list of ids, each counted once from its
// smaller end (a self-loop once, from its only end).
//
// The count does not depend on the order in which members are visited, so
// they are visited in list order (first occurrences), which lets the map
// slots and neighbour storage of members a few places ahead be requested
// early: each member's look-up is otherwise a cache miss on a large graph.
#include <vector>

#include "accel/parallel/interrupt.hpp"
#include "accel/kernels/analytics.hpp"

namespace arborvane {
namespace {

constexpr size_t kSlotsAhead = 16;
constexpr size_t kSetsAhead = 8;

}  // namespace

uint64_t subgraph_edge_count(const GraphState& graph, std::span<const int64_t> ids) {
  IdSet members;
  std::vector<int64_t> distinct;
  if (!ids.empty()) {
    members.reserve(ids.size());
    distinct.reserve(ids.size());
  }
  for (int64_t id : ids) {
    if (members.insert(id)) distinct.push_back(id);
  }
  const AdjacencyMap& adjacency = graph.adjacency;
  if (adjacency.empty()) return 0;

  uint64_t count = 0;
  const size_t total = distinct.size();
  for (size_t i = 0; i < total; ++i) {
    poll_interrupt_every(i);
    if (i + kSlotsAhead < total) adjacency.prefetch(distinct[i + kSlotsAhead]);
    if (i + kSetsAhead < total) {
      if (const NeighborSet* ahead = adjacency.find(distinct[i + kSetsAhead])) ahead->prefetch_members();
    }
    const int64_t v = distinct[i];
    const NeighborSet* set = adjacency.find(v);
    if (!set) continue;
    set->for_each([&](int64_t w) {
      if (w >= v && members.contains(w)) ++count;
    });
  }
  return count;
}

}  // namespace arborvane
