// Component label of every node: components are numbered 0, 1, 2, ... in
// the order in which a walk over node indices meets them first. That is the
// order of connected_component_sizes() (the snapshot's node order is the
// adjacency map's iteration order), so counting the labels gives that list.
//
// Requires the CSR snapshot (index runs).
//
// The trick: lock-free disjoint sets whose root is always the smallest index
// of its set (concurrent_union_find.hpp), filled in two parallel passes. The
// first links every node to its first two neighbours, which in a graph with
// a giant component already joins most of it; the second links the remaining
// edges only of nodes outside the largest set found so far, skipping most of
// the edge list. Since a root is its component's first node, numbering the
// roots in ascending index order gives the labels in first-met order,
// whatever order the unions ran in on whatever number of threads.
#include "accel/kernels/analytics.hpp"
#include "accel/parallel/concurrent_union_find.hpp"
#include "accel/parallel/interrupt.hpp"
#include "accel/parallel/worker_pool.hpp"

namespace arborvane {

namespace {

// Neighbours linked by the first pass, and nodes sampled for the largest set.
constexpr uint64_t kSampled = 2;
constexpr size_t kRootSamples = 1024;
// Smallest range of nodes a worker claims: a node costs a few finds.
constexpr size_t kMinNodesPerRange = 16384;

template <class Index>
void label(const CsrSnapshot& snap, const Index* runs, int64_t* labels) {
  const size_t n = snap.node_count();
  const uint64_t* offsets = snap.offsets.data();
  ConcurrentUnionFind<Index> sets(n);

  parallel_for_ranges(n, kMinNodesPerRange, [&](size_t begin, size_t end) {
    for (size_t u = begin; u < end; ++u) {
      poll_interrupt_every(u);
      const uint64_t stop = std::min(offsets[u + 1], offsets[u] + kSampled);
      for (uint64_t k = offsets[u]; k < stop; ++k) sets.unite(static_cast<Index>(u), runs[k]);
    }
  });

  // A node already in the largest set needs no more links from its side:
  // each of its remaining edges joins two nodes of that set, or is linked
  // from the side of its other end, which is not in it.
  const Index largest = static_cast<Index>(most_common_root(sets, n, kRootSamples, [](size_t) { return true; }).root);
  parallel_for_ranges(n, kMinNodesPerRange, [&](size_t begin, size_t end) {
    for (size_t u = begin; u < end; ++u) {
      poll_interrupt_every(u);
      if (offsets[u + 1] - offsets[u] <= kSampled) continue;
      if (sets.find(static_cast<Index>(u)) == sets.find(largest)) continue;
      for (uint64_t k = offsets[u] + kSampled; k < offsets[u + 1]; ++k) sets.unite(static_cast<Index>(u), runs[k]);
    }
  });

  // Ascending indices: a parent's index is below its child's, so the parent
  // already points at the root (and the root holds its label) when the
  // child is reached.
  int64_t next_label = 0;
  for (size_t u = 0; u < n; ++u) {
    poll_interrupt_every(u, 65536);
    const Index root = sets.parent(sets.parent(u));
    sets.set_parent(u, root);
    labels[u] = root == u ? next_label++ : labels[root];
  }
}

}  // namespace

void component_labels(const CsrSnapshot& snap, std::span<int64_t> out) {
  snap.with_neighbor_index([&](const auto* runs) { label(snap, runs, out.data()); });
}

}  // namespace arborvane
