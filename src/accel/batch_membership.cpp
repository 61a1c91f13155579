// has_edges: many edge-membership questions answered in one parallel loop.
// Workers read the adjacency map (nothing writes it while the caller holds
// the graph's shared borrow) and write each answer at its pair's position.
#include "accel/operations.hpp"
#include "accel/worker_pool.hpp"

namespace arborvane {

std::vector<uint8_t> has_edges(const GraphState& graph, std::span<const IdPair> pairs) {
  std::vector<uint8_t> answers(pairs.size());
  // Each answer is one or two hash probes: hand out a few thousand at a time.
  constexpr size_t kMinChunk = 2048;
  parallel_for(pairs.size(), kMinChunk, [&](size_t i) {
    const NeighborSet* set = graph.neighbors_of(pairs[i].first);
    answers[i] = set && set->contains(pairs[i].second);
  });
  return answers;
}

}  // namespace arborvane
