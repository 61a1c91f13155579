// Read-ahead for breadth-first searches over the adjacency map.
//
// A search spends nearly all its time waiting for memory: every neighbour
// entry is a look-up at a random slot of the map. Queued nodes are known
// before they are expanded, so their memory is requested early, in two
// stages: kSetsAhead places ahead of the head the storage of a node's
// neighbour set, kSlotsAhead places ahead the map slots of its neighbours
// (reading the set that the first stage brought in). Hints only: results
// never depend on them.
#pragma once

#include <cstddef>
#include <vector>

#include "accel/store/graph_state.hpp"

namespace arborvane {

class QueuePrefetch {
 public:
  static constexpr size_t kSetsAhead = 8;
  static constexpr size_t kSlotsAhead = 3;

  explicit QueuePrefetch(const AdjacencyMap& adjacency) noexcept : adjacency_(adjacency) {}

  // Starts over for a queue that was cleared.
  void restart() noexcept { sets_done_ = slots_done_ = 0; }

  // Called before the node at `head` is expanded.
  void before(const std::vector<size_t>& queue, size_t head) const noexcept {
    for (; sets_done_ < queue.size() && sets_done_ <= head + kSetsAhead; ++sets_done_) {
      adjacency_.value_at(queue[sets_done_]).prefetch_members();
    }
    for (; slots_done_ < queue.size() && slots_done_ <= head + kSlotsAhead; ++slots_done_) {
      adjacency_.value_at(queue[slots_done_]).for_each([this](int64_t w) { adjacency_.prefetch(w); });
    }
  }

 private:
  const AdjacencyMap& adjacency_;
  mutable size_t sets_done_ = 0;   // queue prefix whose sets were requested
  mutable size_t slots_done_ = 0;  // queue prefix whose neighbours' slots were requested
};

}  // namespace arborvane
