// Sizes of the connected components, in the order in which a walk over the
// adjacency map in its iteration order first meets each component.
//
// Maps whose slot array fits in the caches are searched breadth-first, one
// search per component, on the calling thread: with every look-up a cache
// hit, nothing beats its plain loop, except the same search over a cached
// snapshot, which needs no look-up at all. Larger maps, where every look-up is a
// cache miss, are partitioned by disjoint sets on the worker pool instead:
//
// Map positions are united in disjoint sets. The scan over the map's slots
// is cut into ranges for the worker pool; the workers only read the map and
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
// unions, so the order of the result follows from positions alone:
// iteration visits the out-of-line entry first and then the slots in
// ascending order, so the component of the out-of-line entry comes first
// and then every other in the order of its root.
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

// Maps of fewer slots are searched breadth-first (a slot array of 2 MiB).
constexpr size_t kDisjointSetsFromSlots = size_t{1} << 16;
// Slots whose neighbour sets are requested ahead of the one being scanned,
// and neighbour look-ups gathered before they are resolved.
constexpr size_t kSetsAhead = 16;
constexpr size_t kBatch = 32;
// Entries of each set linked first, and nodes whose sets are then counted to
// find the largest one.
constexpr uint32_t kSampled = 2;
constexpr size_t kRootSamples = 1024;
// Smallest range of slots a worker claims: a slot costs a few look-ups.
constexpr size_t kMinSlotsPerRange = 4096;

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

  // Iteration order: the entry keyed kVacantKey first, then the slots, then
  // the overflow entries.
  const size_t slot_count = adjacency.slot_count();
  if (adjacency.has_vacant_key_entry()) search_from(slot_count);
  const AdjacencyMap::Slot* slots = adjacency.slots();
  for (size_t i = 0; i < slot_count; ++i) {
    if (slots[i].key != kVacantKey) search_from(i);
  }
  for (size_t k = 0; k < adjacency.overflow_count(); ++k) search_from(slot_count + 1 + k);
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

// Unites slot i with the positions of the entries w of its set (the
// index-th in iteration order) for which take(u, w, index) holds, for every
// occupied slot i in [begin, end) for which skip(i) does not hold. With
// kSampledOnly, only the first kSampled entries are taken, and the rest of
// a set is neither requested nor read where its shape allows.
template <bool kSampledOnly, class Index, class Skip, class Take>
void link_entries(const AdjacencyMap& adjacency, ConcurrentUnionFind<Index>& sets, size_t begin, size_t end,
                  const Skip& skip, const Take& take) {
  const AdjacencyMap::Slot* slots = adjacency.slots();
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
  // Whether slot i is skipped is decided when its set is requested, so
  // that skipped sets are not read at all; a node that joins the skipped
  // kind in between is merely scanned.
  static_assert(std::has_single_bit(kSetsAhead));
  bool skipped[kSetsAhead];
  auto prefetch_set = [&](size_t i) {
    if (i >= end) return;
    const bool vacant = slots[i].key == kVacantKey;
    skipped[i & (kSetsAhead - 1)] = vacant || skip(i);
    if (!skipped[i & (kSetsAhead - 1)]) {
      // Keeps GCC from dropping a call whose only effects are prefetches.
      __asm__ __volatile__("");
      // For an array-shaped set, every line that a scan of it reads.
      if constexpr (!kSampledOnly) slots[i].value.prefetch(slots[i].key);
      slots[i].value.prefetch_members();
    }
  };
  for (size_t i = begin; i < begin + kSetsAhead; ++i) prefetch_set(i);
  for (size_t i = begin; i < end; ++i) {
    const bool skip_this = skipped[i & (kSetsAhead - 1)];
    prefetch_set(i + kSetsAhead);
    if (skip_this) continue;
    const int64_t u = slots[i].key;
    // Without branches: whether an entry is taken is often a coin toss, and
    // a mispredicted branch costs more than the look-up of a cached slot.
    // An entry that is not taken is overwritten by the next one, and its
    // prefetch goes to u's own slot, which is in cache already.
    uint32_t index = 0;
    slots[i].value.for_each([&](int64_t w) {
      if constexpr (kSampledOnly) {
        // A branch that follows the same pattern for every set; past it,
        // w is not needed, so the load of an array entry can go too.
        if (index >= kSampled) return;
      }
      const bool taken = take(u, w, index++);
      adjacency.prefetch(taken ? w : u);
      batch[batched] = Lookup{static_cast<Index>(i), w};
      batched += taken;
      if (batched == kBatch) resolve();
    });
  }
  resolve();
}

template <class Index>
std::vector<uint64_t> sizes_by_disjoint_sets(const AdjacencyMap& adjacency) {
  const size_t slot_count = adjacency.slot_count();
  const size_t positions = adjacency.position_count();  // slots, kVacantKey's entry, overflow
  const AdjacencyMap::Slot* slots = adjacency.slots();
  ConcurrentUnionFind<Index> sets(positions);

  // The entries outside the slots are never scanned below: their edges are
  // linked here, all of them, from their side.
  auto link_all = [&](size_t position) {
    adjacency.value_at(position).for_each([&](int64_t w) {
      sets.unite(static_cast<Index>(position), static_cast<Index>(adjacency.position_of(w)));
    });
  };
  if (adjacency.has_vacant_key_entry()) link_all(slot_count);
  for (size_t p = slot_count + 1; p < positions; ++p) link_all(p);
  // First the first kSampled entries of every set: in a graph with a giant
  // component, that already links most of it.
  parallel_for_ranges(slot_count, kMinSlotsPerRange, [&](size_t begin, size_t end) {
    link_entries<true>(adjacency, sets, begin, end, [](size_t) { return false; },
                       [](int64_t, int64_t, uint32_t) { return true; });
  });

  // The largest set among evenly spread nodes.
  const SampledRoot sampled = most_common_root(sets, slot_count, kRootSamples,
                                               [slots](size_t i) { return slots[i].key != kVacantKey; });
  const Index largest = static_cast<Index>(sampled.root);

  if (sampled.votes * 2 > sampled.sampled) {
    // A node already in the largest set needs no more links from its side:
    // each of its remaining edges either joins two nodes of that set, or is
    // linked from the side of its other end, which is not in it.
    parallel_for_ranges(slot_count, kMinSlotsPerRange, [&](size_t begin, size_t end) {
      link_entries<false>(
          adjacency, sets, begin, end,
          [&](size_t i) { return sets.find(static_cast<Index>(i)) == sets.find(largest); },
          [](int64_t, int64_t, uint32_t index) { return index >= kSampled; });
    });
  } else {
    // Each remaining edge once, from the side of its larger id: the other
    // entry (u in the set of w) is taken from w's side, or was sampled.
    parallel_for_ranges(slot_count, kMinSlotsPerRange, [&](size_t begin, size_t end) {
      link_entries<false>(adjacency, sets, begin, end, [](size_t) { return false; },
                          [](int64_t u, int64_t w, uint32_t index) { return (w < u) & (index >= kSampled); });
    });
  }

  // Ascending positions: a parent's position is below its child's, so it
  // already holds its root when the child is reached.
  std::unique_ptr<Index[]> counts(new Index[positions]());
  auto count_node = [&](size_t p) {
    Index parent = sets.parent(p);
    Index root = sets.parent(parent);
    sets.set_parent(p, root);
    ++counts[root];
  };
  for (size_t i = 0; i < slot_count; ++i) {
    if (slots[i].key != kVacantKey) count_node(i);
  }
  if (adjacency.has_vacant_key_entry()) count_node(slot_count);
  for (size_t p = slot_count + 1; p < positions; ++p) count_node(p);
  std::vector<uint64_t> sizes;
  if (adjacency.has_vacant_key_entry()) {
    Index root = sets.parent(slot_count);
    sizes.push_back(counts[root]);
    counts[root] = 0;  // listed already: skipped below
  }
  for (size_t i = 0; i < slot_count; ++i) {
    if (slots[i].key != kVacantKey && sets.parent(i) == i && counts[i] != 0) sizes.push_back(counts[i]);
  }
  for (size_t p = slot_count + 1; p < positions; ++p) {
    if (sets.parent(p) == p && counts[p] != 0) sizes.push_back(counts[p]);
  }
  return sizes;
}

}  // namespace

std::vector<uint64_t> connected_component_sizes(const GraphState& graph) {
  const AdjacencyMap& adjacency = graph.adjacency;
  if (adjacency.empty()) return {};
  if (adjacency.slot_count() < kDisjointSetsFromSlots) {
    if (const CsrSnapshot* snap = graph.csr.get()) {
      return snap->with_neighbor_index([&](const auto* runs) { return sizes_on_snapshot(*snap, runs); });
    }
    return sizes_by_search(adjacency);
  }
  if (adjacency.position_count() <= uint64_t{1} << 32) return sizes_by_disjoint_sets<uint32_t>(adjacency);
  return sizes_by_disjoint_sets<uint64_t>(adjacency);
}

}  // namespace arborvane
