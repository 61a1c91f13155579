// Sizes of the connected components, in the order in which a walk over the
// adjacency map in its iteration order first meets each component.
//
// Maps whose slot array fits in the caches are searched breadth-first, one
// search per component, on the calling thread: with every look-up a cache
// hit, nothing beats its plain loop. Larger maps, where every look-up is a
// cache miss, are partitioned by disjoint sets on the worker pool instead:
//
// Map positions are united in disjoint sets, one union per edge: the entry w
// in the set of u is taken only when w < u, since the edge's other entry
// (u in the set of w) is the one taken from w's side, which halves the
// look-ups. The scan over the map's slots is cut into ranges for the worker
// pool; the workers only read the map and unite positions (lock-free,
// concurrent_union_find.hpp). The root of a set is its smallest position,
// whatever the order of the unions, so the order of the result follows from
// positions alone: iteration visits the out-of-line entry first and then the
// slots in ascending order, so the component of the out-of-line entry comes
// first and then every other in the order of its root.
#include <memory>
#include <vector>

#include "accel/concurrent_union_find.hpp"
#include "accel/operations.hpp"
#include "accel/position_bitmap.hpp"
#include "accel/queue_prefetch.hpp"
#include "accel/worker_pool.hpp"

namespace arborvane {

namespace {

// Maps of fewer slots are searched breadth-first (a slot array of 2 MiB).
constexpr size_t kDisjointSetsFromSlots = size_t{1} << 16;
// Slots whose neighbour sets are requested ahead of the one being scanned,
// and neighbour look-ups gathered before they are resolved.
constexpr size_t kSetsAhead = 16;
constexpr size_t kBatch = 32;
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
      prefetch.before(queue, head);
      adjacency.value_at(queue[head]).for_each([&](int64_t w) {
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

template <class Index>
std::vector<uint64_t> sizes_by_disjoint_sets(const AdjacencyMap& adjacency) {
  const size_t slot_count = adjacency.slot_count();
  const size_t positions = adjacency.position_count();  // slots, then the out-of-line entry
  const AdjacencyMap::Slot* slots = adjacency.slots();
  ConcurrentUnionFind<Index> sets(positions);

  parallel_for_ranges(slot_count, kMinSlotsPerRange, [&](size_t begin, size_t end) {
    // Look-ups wait in a batch whose map slots were requested when they
    // joined it, so that many cache misses are in flight at once.
    struct Lookup {
      Index from;
      int64_t id;
    };
    Lookup batch[kBatch];
    size_t batched = 0;
    Index found[kBatch];
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
    auto prefetch_set = [&](size_t i) {
      if (i < end && slots[i].key != kVacantKey) {
        // Keeps GCC from dropping a call whose only effects are prefetches.
        __asm__ __volatile__("");
        // For an array-shaped set, every line that a scan of it reads.
        slots[i].value.prefetch(slots[i].key);
        slots[i].value.prefetch_members();
      }
    };
    for (size_t i = begin; i < begin + kSetsAhead; ++i) prefetch_set(i);
    for (size_t i = begin; i < end; ++i) {
      prefetch_set(i + kSetsAhead);
      const int64_t u = slots[i].key;
      if (u == kVacantKey) continue;
      // Without branches: whether w < u is a coin toss per entry, and a
      // mispredicted branch costs more than the look-up of a cached slot.
      // An entry that is not taken is overwritten by the next one, and its
      // prefetch goes to u's own slot, which is in cache already.
      slots[i].value.for_each([&](int64_t w) {
        const bool take = w < u;
        adjacency.prefetch(take ? w : u);
        batch[batched] = Lookup{static_cast<Index>(i), w};
        batched += take;
        if (batched == kBatch) resolve();
      });
    }
    resolve();
  });

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
  std::vector<uint64_t> sizes;
  if (adjacency.has_vacant_key_entry()) {
    count_node(slot_count);
    Index root = sets.parent(slot_count);
    sizes.push_back(counts[root]);
    counts[root] = 0;  // listed already: skipped below
  }
  for (size_t i = 0; i < slot_count; ++i) {
    if (slots[i].key != kVacantKey && sets.parent(i) == i && counts[i] != 0) sizes.push_back(counts[i]);
  }
  return sizes;
}

}  // namespace

std::vector<uint64_t> connected_component_sizes(const GraphState& graph) {
  const AdjacencyMap& adjacency = graph.adjacency;
  if (adjacency.empty()) return {};
  if (adjacency.slot_count() < kDisjointSetsFromSlots) return sizes_by_search(adjacency);
  if (adjacency.position_count() <= uint64_t{1} << 32) return sizes_by_disjoint_sets<uint32_t>(adjacency);
  return sizes_by_disjoint_sets<uint64_t>(adjacency);
}

}  // namespace arborvane
