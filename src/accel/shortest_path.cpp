// Breadth-first hop distance between two node ids, straight on the
// adjacency map (no snapshot is built).
//
// The search grows from both ends, one whole layer at a time, always
// extending the side whose frontier has fewer neighbour entries to scan. A
// long path in a graph with many nodes per layer then costs two half-depth
// searches instead of one full-depth search, and an unreachable target is
// recognised as soon as the smaller of the two components is exhausted.
//
// Why the first meeting gives the distance: before a layer is extended, the
// source side has marked exactly the nodes within `depth_s` of the source and
// the target side those within `depth_t` of the target, and no node carries
// both marks, so the distance exceeds depth_s + depth_t. Extending the source
// side's last layer reaches nodes at depth_s + 1; the first of them that
// carries the target side's mark lies within depth_t of the target, so a path
// of depth_s + 1 + depth_t exists, which is therefore the distance.
//
// Visited marks live in bitmaps indexed by the node's position in the map:
// the look-up that finds a neighbour's position is the only hashing per
// neighbour entry, and frontiers hold positions, so an expanded node needs no
// second look-up. Frontiers are read ahead (queue_prefetch.hpp).
#include <vector>

#include "accel/interrupt.hpp"
#include "accel/operations.hpp"
#include "accel/position_bitmap.hpp"
#include "accel/queue_prefetch.hpp"

namespace arborvane {

namespace {

// One end of the search: its marks, its last layer and how far it reached.
struct SearchSide {
  explicit SearchSide(const AdjacencyMap& adjacency, size_t start)
      : marked(adjacency.position_count()), frontier{start}, work(adjacency.value_at(start).size()) {
    marked.set(start);
  }

  PositionBitmap marked;
  std::vector<size_t> frontier;
  uint64_t work;  // neighbour entries in the frontier's sets
  int64_t depth = 0;
};

// Replaces `side`'s frontier by the next layer. Returns the distance when a
// neighbour carries `other`'s mark, -1 otherwise.
int64_t extend_layer(const AdjacencyMap& adjacency, SearchSide& side, const SearchSide& other,
                     std::vector<size_t>& next, QueuePrefetch& prefetch) {
  next.clear();
  uint64_t next_work = 0;
  bool met = false;
  prefetch.restart();
  const std::vector<size_t>& frontier = side.frontier;
  for (size_t head = 0; head < frontier.size() && !met; ++head) {
    prefetch.before(frontier, head);
    adjacency.value_at(frontier[head]).for_each([&](int64_t w) {
      if (met) return;
      size_t p = adjacency.position_of(w);
      if (other.marked.test(p)) {
        met = true;
      } else if (!side.marked.test_and_set(p)) {
        next.push_back(p);
        next_work += adjacency.value_at(p).size();
      }
    });
  }
  if (met) return side.depth + 1 + other.depth;
  side.frontier.swap(next);
  side.work = next_work;
  ++side.depth;
  return -1;
}

}  // namespace

int64_t shortest_path_length(const GraphState& graph, int64_t source, int64_t target) {
  if (source == target) return 0;
  const AdjacencyMap& adjacency = graph.adjacency;
  const size_t start = adjacency.position_of(source);
  if (start == AdjacencyMap::kNoPosition) return -1;
  const size_t goal = adjacency.position_of(target);
  if (goal == AdjacencyMap::kNoPosition) return -1;

  SearchSide from_source(adjacency, start);
  SearchSide from_target(adjacency, goal);
  std::vector<size_t> next;
  QueuePrefetch prefetch(adjacency);
  for (;;) {
    poll_interrupt();
    bool source_side = from_source.work <= from_target.work;
    SearchSide& side = source_side ? from_source : from_target;
    const SearchSide& other = source_side ? from_target : from_source;
    // An empty layer: that end's component holds no node of the other's.
    if (side.frontier.empty()) return -1;
    int64_t distance = extend_layer(adjacency, side, other, next, prefetch);
    if (distance >= 0) return distance;
  }
}

}  // namespace arborvane
