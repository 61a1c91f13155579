// Sizes of the connected components, in the order in which a walk over the
// adjacency map in its iteration order first meets each component.
//
// One breadth-first search per component, straight on the adjacency map.
// The visited set is a bitmap over map positions, sized once for all nodes;
// one queue of positions serves every search. The queue is read ahead
// (queue_prefetch.hpp), so the look-ups overlap instead of waiting on one
// cache miss after another.
#include <vector>

#include "accel/operations.hpp"
#include "accel/position_bitmap.hpp"
#include "accel/queue_prefetch.hpp"

namespace arborvane {

std::vector<uint64_t> connected_component_sizes(const GraphState& graph) {
  const AdjacencyMap& adjacency = graph.adjacency;
  std::vector<uint64_t> sizes;
  if (adjacency.empty()) return sizes;

  PositionBitmap visited(adjacency.position_count());
  std::vector<size_t> queue;
  queue.reserve(1024);
  QueuePrefetch prefetch(adjacency);

  auto search_from = [&](size_t start) {
    if (visited.test_and_set(start)) return;
    queue.clear();
    queue.push_back(start);
    prefetch.restart();
    for (size_t head = 0; head < queue.size(); ++head) {
      prefetch.before(queue, head);
      const NeighborSet& set = adjacency.value_at(queue[head]);
      set.for_each([&](int64_t w) {
        size_t p = adjacency.position_of(w);
        if (!visited.test_and_set(p)) queue.push_back(p);
      });
    }
    sizes.push_back(queue.size());
  };

  // Iteration order: the out-of-line entry first, then the slots.
  const size_t slot_count = adjacency.slot_count();
  if (adjacency.has_vacant_key_entry()) search_from(slot_count);
  const AdjacencyMap::Slot* slots = adjacency.slots();
  for (size_t i = 0; i < slot_count; ++i) {
    if (slots[i].key != kVacantKey) search_from(i);
  }
  return sizes;
}

}  // namespace arborvane
