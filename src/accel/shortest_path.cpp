// Breadth-first hop distance between two node ids, straight on the
// adjacency map (no snapshot is built).
//
// The target is recognised when it is first discovered as a neighbour, so the
// search stops without finishing the last layer. Visited marks live in a
// bitmap indexed by the node's position in the map: the look-up that finds a
// neighbour's position is the only hashing per neighbour entry, and the queue
// holds positions, so a dequeued node needs no second look-up. The queue is
// read ahead (queue_prefetch.hpp).
#include <vector>

#include "accel/operations.hpp"
#include "accel/position_bitmap.hpp"
#include "accel/queue_prefetch.hpp"

namespace arborvane {

int64_t shortest_path_length(const GraphState& graph, int64_t source, int64_t target) {
  if (source == target) return 0;
  const AdjacencyMap& adjacency = graph.adjacency;
  const size_t start = adjacency.position_of(source);
  if (start == AdjacencyMap::kNoPosition || !adjacency.contains(target)) return -1;

  PositionBitmap visited(adjacency.position_count());
  visited.set(start);
  std::vector<size_t> queue{start};
  size_t layer_end = queue.size();
  int64_t distance = 0;
  QueuePrefetch prefetch(adjacency);
  for (size_t head = 0; head < queue.size(); ++head) {
    prefetch.before(queue, head);
    if (head == layer_end) {
      ++distance;
      layer_end = queue.size();
    }
    bool found = false;
    adjacency.value_at(queue[head]).for_each([&](int64_t w) {
      if (found) return;
      if (w == target) {
        found = true;
        return;
      }
      size_t p = adjacency.position_of(w);
      if (!visited.test_and_set(p)) queue.push_back(p);
    });
    if (found) return distance + 1;
  }
  return -1;
}

}  // namespace arborvane
