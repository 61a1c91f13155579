// has_edges: many edge-membership questions answered in one parallel loop.
// Workers read the adjacency map (nothing writes it while the caller holds
// the graph's shared borrow) and write each answer at its pair's position.
//
// Each answer is two dependent cache misses at random places (the map slot
// of the first id, then its neighbour set), so within a range the slot of
// the pair kSlotLookahead steps ahead and then the set memory of the pair
// kSetLookahead steps ahead are requested while the current pair is answered.
#include <algorithm>

#include "accel/store/operations.hpp"
#include "accel/parallel/worker_pool.hpp"

namespace arborvane {
namespace {

constexpr size_t kSlotLookahead = 16;
constexpr size_t kSetLookahead = 8;

}  // namespace

std::vector<uint8_t> has_edges(const GraphState& graph, std::span<const IdPair> pairs) {
  std::vector<uint8_t> answers(pairs.size());
  const AdjacencyMap& map = graph.adjacency;
  // Each answer is one or two hash probes: hand out a few thousand at a time.
  constexpr size_t kMinChunk = 2048;
  parallel_for_ranges(pairs.size(), kMinChunk, [&](size_t begin, size_t end) {
    for (size_t i = begin; i < std::min(end, begin + kSlotLookahead); ++i) map.prefetch(pairs[i].first);
    for (size_t i = begin; i < end; ++i) {
      if (i + kSlotLookahead < end) map.prefetch(pairs[i + kSlotLookahead].first);
      if (i + kSetLookahead < end) {
        const IdPair& ahead = pairs[i + kSetLookahead];
        if (const NeighborSet* set = map.find(ahead.first)) set->prefetch(ahead.second);
      }
      const NeighborSet* set = map.find(pairs[i].first);
      answers[i] = set && set->contains(pairs[i].second);
    }
  });
  return answers;
}

}  // namespace arborvane
