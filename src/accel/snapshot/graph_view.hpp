// The graph as the searches see it, over either form of it: the adjacency
// map (MapView) or a CSR snapshot (SnapshotView). A search written against
// this interface runs unchanged on both, and each view brings the memory
// tricks of its form.
//
// Nodes are positions in [0, positions()), ascending in the map's iteration
// order, which is the order of nodes(): on a snapshot a position is the
// node index; on the map it is the map position (int_hash.hpp), and some
// positions hold no node. Per-node state of a search (visited bits,
// disjoint sets) is indexed by position and needs no hashing.
//
// What a view offers:
//   positions(), holds(p), degree(p)
//   walk(begin, end, f)          f(p) for the nodes at positions [begin, end)
//   start_layer(),
//   for_neighbors(queue, head, f) f(q) for the neighbours q of queue[head]
//                                 until f returns false (false then); the
//                                 queue is read ahead of `head`
//   link<kEntries>(begin, end, sets, skip)
//                                 unites each node p of [begin, end) with
//                                 the neighbours that kEntries selects,
//                                 unless skip(p), in ConcurrentUnionFind sets
//   kLinkRange                    the smallest range a worker links
//
// The map pays a hash look-up for every neighbour it turns into a position,
// a likely cache miss on a large map: it requests neighbour sets and slots
// ahead of the queue, and gathers look-ups in batches whose slots are
// requested together. The snapshot's neighbours are positions already, in
// contiguous runs.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "accel/parallel/interrupt.hpp"
#include "accel/snapshot/csr_snapshot.hpp"
#include "accel/store/graph_state.hpp"

namespace arborvane {

// Which entries of each node's set link() unites it with: the first
// kFirstEntries (in a graph with a giant component these alone link most of
// it), the others, or the others that lead to a smaller key (ids on the map,
// positions on the snapshot), so that each edge is linked from one side.
enum class LinkEntries { kFirst, kRest, kRestOnce };
inline constexpr uint32_t kFirstEntries = 2;

class MapView {
 public:
  // Read-ahead of a queue: kSetsAhead places ahead of the head the storage
  // of a node's neighbour set, kSlotsAhead places ahead the map slots of its
  // neighbours (reading the set that the first stage brought in).
  static constexpr size_t kSetsAhead = 8;
  static constexpr size_t kSlotsAhead = 3;
  // link(): nodes whose sets are requested ahead, and neighbour look-ups
  // gathered before they are resolved.
  static constexpr size_t kLinkSetsAhead = 16;
  static constexpr size_t kBatch = 32;
  // Smallest range of positions a worker links: a node costs a few look-ups.
  static constexpr size_t kLinkRange = 4096;

  explicit MapView(const AdjacencyMap& adjacency) noexcept : adjacency_(adjacency) {}

  size_t positions() const noexcept { return adjacency_.position_count(); }
  bool holds(size_t p) const noexcept { return adjacency_.holds(p); }
  uint64_t degree(size_t p) const noexcept { return adjacency_.value_at(p).size(); }

  template <class F>
  void walk(size_t begin, size_t end, const F& f) const {
    adjacency_.walk(begin, end, [&](size_t p, int64_t, const NeighborSet&) __attribute__((always_inline)) { f(p); });
  }

  // Starts over for a queue that was cleared.
  void start_layer() noexcept { sets_done_ = slots_done_ = 0; }

  template <class F>
  bool for_neighbors(const std::vector<size_t>& queue, size_t head, const F& f) {
    for (; sets_done_ < queue.size() && sets_done_ <= head + kSetsAhead; ++sets_done_) {
      adjacency_.value_at(queue[sets_done_]).prefetch_members();
    }
    for (; slots_done_ < queue.size() && slots_done_ <= head + kSlotsAhead; ++slots_done_) {
      adjacency_.value_at(queue[slots_done_]).for_each([this](int64_t w) { adjacency_.prefetch(w); });
    }
    bool go = true;
    adjacency_.value_at(queue[head]).for_each([&](int64_t w) {
      if (go) go = f(adjacency_.position_of(w));
    });
    return go;
  }

  template <LinkEntries kEntries, class Sets, class Skip>
  void link(size_t begin, size_t end, Sets& sets, const Skip& skip) const {
    using Index = typename Sets::IndexType;
    constexpr bool kFirstOnly = kEntries == LinkEntries::kFirst;
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
        found[k] = static_cast<Index>(adjacency_.position_of(batch[k].id));
        sets.prefetch(found[k]);
      }
      for (size_t k = 0; k < batched; ++k) sets.unite(batch[k].from, found[k]);
      batched = 0;
    };
    // Whether a node is skipped is decided when its set is requested, so
    // that skipped sets are not read at all; a node that joins the skipped
    // kind in between is merely scanned.
    auto request = [&](size_t p, int64_t u, const NeighborSet& set) __attribute__((always_inline)) {
      if (skip(p)) return false;
      // Keeps GCC from dropping a call whose only effects are prefetches.
      __asm__ __volatile__("");
      // For an array-shaped set, every line that a scan of it reads.
      if constexpr (!kFirstOnly) set.prefetch(u);
      set.prefetch_members();
      return true;
    };
    size_t nodes = 0;
    adjacency_.walk_ahead<kLinkSetsAhead>(begin, end, request,
                                          [&](size_t p, int64_t u, const NeighborSet& set) __attribute__((always_inline)) {
      poll_interrupt_every(nodes++, 1024);
      auto add = [&](int64_t w, bool taken) __attribute__((always_inline)) {
        // An entry that is not taken is overwritten by the next one, and its
        // prefetch goes to u's own slot, which is in cache already.
        adjacency_.prefetch(taken ? w : u);
        batch[batched] = Lookup{static_cast<Index>(p), w};
        batched += taken;
        if (batched == kBatch) resolve();
      };
      if constexpr (kFirstOnly) {
        // The first entries, gathered by a loop small enough to inline
        // into each of the set's shapes; past them, w is not needed, so
        // the load of an array entry can go too.
        int64_t first[kFirstEntries];
        uint32_t seen = 0;
        set.for_each([&](int64_t w) __attribute__((always_inline)) {
          if (seen < kFirstEntries) first[seen] = w;
          ++seen;
        });
        for (uint32_t k = 0; k < std::min(seen, kFirstEntries); ++k) add(first[k], true);
      } else {
        // Without branches: whether an entry is taken is often a coin toss,
        // and a mispredicted branch costs more than the look-up of a cached
        // slot.
        uint32_t index = 0;
        // Inlined into each of the set's shapes: a call per entry would
        // cost more than the entry's own work.
        set.for_each([&](int64_t w) __attribute__((always_inline)) {
          const bool later = index++ >= kFirstEntries;
          add(w, kEntries == LinkEntries::kRest ? later : (w < u) & later);
        });
      }
    });
    resolve();
  }

 private:
  const AdjacencyMap& adjacency_;
  size_t sets_done_ = 0;   // queue prefix whose sets were requested
  size_t slots_done_ = 0;  // queue prefix whose neighbours' slots were requested
};

template <class Index>
class SnapshotView {
 public:
  using IndexType = Index;
  // for_neighbors(): the runs of the nodes this many places ahead in the
  // queue are requested (they are scattered).
  static constexpr size_t kRunsAhead = 4;
  // Smallest range of nodes a worker links: a node costs a few finds.
  static constexpr size_t kLinkRange = 16384;

  SnapshotView(const CsrSnapshot& snap, const Index* runs) noexcept
      : snap_(snap), offsets_(snap.offsets.data()), runs_(runs) {}

  size_t positions() const noexcept { return snap_.node_count(); }
  bool holds(size_t) const noexcept { return true; }
  uint64_t degree(size_t i) const noexcept { return snap_.degrees[i]; }

  template <class F>
  void walk(size_t begin, size_t end, const F& f) const {
    for (size_t i = begin; i < end; ++i) f(i);
  }

  void start_layer() noexcept {}

  template <class F>
  bool for_neighbors(const std::vector<size_t>& queue, size_t head, const F& f) const {
    if (head + kRunsAhead < queue.size()) __builtin_prefetch(runs_ + offsets_[queue[head + kRunsAhead]]);
    const size_t i = queue[head];
    for (uint64_t k = offsets_[i]; k < offsets_[i + 1]; ++k) {
      if (!f(static_cast<size_t>(runs_[k]))) return false;
    }
    return true;
  }

  template <LinkEntries kEntries, class Sets, class Skip>
  void link(size_t begin, size_t end, Sets& sets, const Skip& skip) const {
    using SetIndex = typename Sets::IndexType;
    for (size_t u = begin; u < end; ++u) {
      poll_interrupt_every(u);
      uint64_t first = offsets_[u], last = offsets_[u + 1];
      if constexpr (kEntries == LinkEntries::kFirst) {
        last = std::min(last, first + kFirstEntries);
      } else {
        if (last - first <= kFirstEntries) continue;
        first += kFirstEntries;
      }
      if (skip(u)) continue;
      for (uint64_t k = first; k < last; ++k) {
        if (kEntries != LinkEntries::kRestOnce || runs_[k] < u) sets.unite(static_cast<SetIndex>(u), static_cast<SetIndex>(runs_[k]));
      }
    }
  }

 private:
  const CsrSnapshot& snap_;
  const uint64_t* offsets_;
  const Index* runs_;
};

// Calls f(view) with the view of `snap` for its index width.
template <class F>
decltype(auto) with_snapshot_view(const CsrSnapshot& snap, F&& f) {
  return snap.with_neighbor_index([&](const auto* runs) {
    using Index = std::remove_cv_t<std::remove_pointer_t<decltype(runs)>>;
    SnapshotView<Index> view(snap, runs);
    return f(view);
  });
}

}  // namespace arborvane
