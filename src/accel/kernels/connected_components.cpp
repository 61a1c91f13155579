// Sizes of the connected components, in the order in which a walk over the
// adjacency map in its iteration order first meets each component.
//
// Maps whose slot array fits in the caches are searched breadth-first, one
// search per component, on the calling thread: with every look-up a cache
// hit, nothing beats its plain loop, except the same search over a cached
// snapshot, which needs no look-up at all. Larger maps, where every look-up is a
// cache miss, are partitioned by disjoint sets on the worker pool instead:
//
// Map positions are united in disjoint sets. The walk over the map's
// positions is cut into ranges for the worker pool; the workers only read the map and
// unite positions (lock-free, concurrent_union_find.hpp). Two scans:
//   1. the first two entries of every set. In a graph with a giant
//      component this alone links most of it;
//   2. if the largest set (counted among evenly spread nodes) holds most
//      nodes, the rest of the entries of every node outside it; a node
//      inside has nothing left to link that its neighbours outside will not
//      link. Otherwise every remaining edge once, from the side of its
//      larger id.
// Each look-up of a neighbour's position is a cache miss; on a graph with a
// giant component the second scan skips most of them.
//
// The root of a set is its smallest position, whatever the order of the
// unions, and positions follow the iteration order, so the components come
// out in the order of their roots.
#include <algorithm>
#include <bit>
#include <memory>
#include <vector>

#include "accel/parallel/interrupt.hpp"
#include "accel/parallel/concurrent_union_find.hpp"
#include "accel/store/operations.hpp"
#include "accel/kernels/position_bitmap.hpp"
#include "accel/kernels/queue_prefetch.hpp"
#include "accel/parallel/worker_pool.hpp"

namespace arborvane {

namespace {

// Maps of fewer positions are searched breadth-first (a slot array of 2 MiB).
constexpr size_t kDisjointSetsFromPositions = size_t{1} << 16;
// Slots whose neighbour sets are requested ahead of the one being scanned,
// and neighbour look-ups gathered before they are resolved.
constexpr size_t kSetsAhead = 16;
constexpr size_t kBatch = 32;
// Entries of each set linked first, and nodes whose sets are then counted to
// find the largest one.
constexpr uint32_t kSampled = 2;
constexpr size_t kRootSamples = 1024;
// Smallest range of positions a worker claims: a node costs a few look-ups.
constexpr size_t kMinPositionsPerRange = 4096;

// One breadth-first search per component. The visited set is a bitmap over
// map positions, sized once for all nodes; one queue of positions serves
// every search and is read ahead (queue_prefetch.hpp).
std::vector<uint64_t> sizes_by_search(const AdjacencyMap& adjacency) {
  std::vector<uint64_t> sizes;
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
      poll_interrupt_every(head);
      prefetch.before(queue, head);
      adjacency.value_at(queue[head]).for_each([&](int64_t w) {
        size_t p = adjacency.position_of(w);
        if (!visited.test_and_set(p)) queue.push_back(p);
      });
    }
    sizes.push_back(queue.size());
  };

  adjacency.walk(0, adjacency.position_count(), [&](size_t p, int64_t, const NeighborSet&) { search_from(p); });
  return sizes;
}

// With a cached snapshot: one breadth-first search per component over its
// node indices, whose neighbour runs are contiguous and need no look-up. The
// snapshot lists the nodes in the map's iteration order, so the components
// come out in the same order as from the map.
template <class Index>
std::vector<uint64_t> sizes_on_snapshot(const CsrSnapshot& snap, const Index* runs) {
  const size_t n = snap.node_count();
  const uint64_t* offsets = snap.offsets.data();
  std::vector<uint64_t> sizes;
  PositionBitmap visited(n);
  std::vector<Index> queue;
  queue.reserve(std::min<size_t>(n, 1024));
  for (size_t start = 0; start < n; ++start) {
    if (visited.test_and_set(start)) continue;
    queue.clear();
    queue.push_back(static_cast<Index>(start));
    for (size_t head = 0; head < queue.size(); ++head) {
      poll_interrupt_every(head);
      const size_t u = queue[head];
      for (uint64_t k = offsets[u]; k < offsets[u + 1]; ++k) {
        if (!visited.test_and_set(runs[k])) queue.push_back(runs[k]);
      }
    }
    sizes.push_back(queue.size());
  }
  return sizes;
}

// Unites position p with the positions of the entries w of its set (the
// index-th in iteration order) for which take(u, w, index) holds, for every
// node at a position p in [begin, end) for which skip(p) does not hold. With
// kSampledOnly, only the first kSampled entries are taken, and the rest of
// a set is neither requested nor read where its shape allows.
template <bool kSampledOnly, class Index, class Skip, class Take>
void link_entries(const AdjacencyMap& adjacency, ConcurrentUnionFind<Index>& sets, size_t begin, size_t end,
                  const Skip& skip, const Take& take) {
  // Look-ups wait in a batch whose map slots were requested when they
  // joined it, so that many cache misses are in flight at once.
  struct Lookup {
    Index from;
    int64_t id;
  };
  Lookup batch[kBatch];
  Index found[kBatch];
  size_t batched = 0;
  auto resolve = [&] {
    // Second stage: the positions, whose disjoint-set entries are then
    // requested before the unions read them.
    for (size_t k = 0; k < batched; ++k) {
      found[k] = static_cast<Index>(adjacency.position_of(batch[k].id));
      sets.prefetch(found[k]);
    }
    for (size_t k = 0; k < batched; ++k) sets.unite(batch[k].from, found[k]);
    batched = 0;
  };
  // Whether a node is skipped is decided when its set is requested, so
  // that skipped sets are not read at all; a node that joins the skipped
  // kind in between is merely scanned.
  auto request = [&](size_t p, int64_t u, const NeighborSet& set) {
    if (skip(p)) return false;
    // Keeps GCC from dropping a call whose only effects are prefetches.
    __asm__ __volatile__("");
    // For an array-shaped set, every line that a scan of it reads.
    if constexpr (!kSampledOnly) set.prefetch(u);
    set.prefetch_members();
    return true;
  };
  adjacency.walk_ahead<kSetsAhead>(begin, end, request, [&](size_t p, int64_t u, const NeighborSet& set) {
    // Without branches: whether an entry is taken is often a coin toss, and
    // a mispredicted branch costs more than the look-up of a cached slot.
    // An entry that is not taken is overwritten by the next one, and its
    // prefetch goes to u's own slot, which is in cache already.
    uint32_t index = 0;
    set.for_each([&](int64_t w) {
      if constexpr (kSampledOnly) {
        // A branch that follows the same pattern for every set; past it,
        // w is not needed, so the load of an array entry can go too.
        if (index >= kSampled) return;
      }
      const bool taken = take(u, w, index++);
      adjacency.prefetch(taken ? w : u);
      batch[batched] = Lookup{static_cast<Index>(p), w};
      batched += taken;
      if (batched == kBatch) resolve();
    });
  });
  resolve();
}

template <class Index>
std::vector<uint64_t> sizes_by_disjoint_sets(const AdjacencyMap& adjacency) {
  const size_t positions = adjacency.position_count();
  ConcurrentUnionFind<Index> sets(positions);

  // First the first kSampled entries of every set: in a graph with a giant
  // component, that already links most of it.
  parallel_for_ranges(positions, kMinPositionsPerRange, [&](size_t begin, size_t end) {
    link_entries<true>(adjacency, sets, begin, end, [](size_t) { return false; },
                       [](int64_t, int64_t, uint32_t) { return true; });
  });

  // The largest set among evenly spread nodes.
  const SampledRoot sampled =
      most_common_root(sets, positions, kRootSamples, [&](size_t p) { return adjacency.holds(p); });
  const Index largest = static_cast<Index>(sampled.root);

  if (sampled.votes * 2 > sampled.sampled) {
    // A node already in the largest set needs no more links from its side:
    // each of its remaining edges either joins two nodes of that set, or is
    // linked from the side of its other end, which is not in it.
    parallel_for_ranges(positions, kMinPositionsPerRange, [&](size_t begin, size_t end) {
      link_entries<false>(
          adjacency, sets, begin, end,
          [&](size_t p) { return sets.find(static_cast<Index>(p)) == sets.find(largest); },
          [](int64_t, int64_t, uint32_t index) { return index >= kSampled; });
    });
  } else {
    // Each remaining edge once, from the side of its larger id: the other
    // entry (u in the set of w) is taken from w's side, or was sampled.
    parallel_for_ranges(positions, kMinPositionsPerRange, [&](size_t begin, size_t end) {
      link_entries<false>(adjacency, sets, begin, end, [](size_t) { return false; },
                          [](int64_t u, int64_t w, uint32_t index) { return (w < u) & (index >= kSampled); });
    });
  }

  // Ascending positions: a parent's position is below its child's, so it
  // already holds its root when the child is reached; and positions follow
  // the iteration order, so the roots come in the order of the result.
  std::unique_ptr<Index[]> counts(new Index[positions]());
  adjacency.walk(0, positions, [&](size_t p, int64_t, const NeighborSet&) {
    Index root = sets.parent(sets.parent(p));
    sets.set_parent(p, root);
    ++counts[root];
  });
  std::vector<uint64_t> sizes;
  adjacency.walk(0, positions, [&](size_t p, int64_t, const NeighborSet&) {
    if (sets.parent(p) == p) sizes.push_back(counts[p]);
  });
  return sizes;
}

}  // namespace

std::vector<uint64_t> connected_component_sizes(const GraphState& graph) {
  const AdjacencyMap& adjacency = graph.adjacency;
  if (adjacency.empty()) return {};
  if (adjacency.position_count() < kDisjointSetsFromPositions) {
    if (const CsrSnapshot* snap = graph.csr.get()) {
      return snap->with_neighbor_index([&](const auto* runs) { return sizes_on_snapshot(*snap, runs); });
    }
    return sizes_by_search(adjacency);
  }
  if (adjacency.position_count() <= uint64_t{1} << 32) return sizes_by_disjoint_sets<uint32_t>(adjacency);
  return sizes_by_disjoint_sets<uint64_t>(adjacency);
}

}  // namespace arborvane
