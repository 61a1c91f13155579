// Triangle count: the number of sets of three distinct, pairwise adjacent
// nodes. Self-loops never take part.
//
// Nodes are ranked by (degree, node index) and each edge is oriented from its
// lower-ranked end to its higher-ranked end. A triangle a < b < c in that
// ranking is then found exactly once: at the oriented edge a -> b, as a
// common out-neighbour c of a and b. The orientation caps every out-list at
// about sqrt(2m) entries, so the hubs of a skewed graph cost no more than
// their edges, and the remaining imbalance is evened out by the pool's
// dynamic chunks.
//
// Out-lists hold ranks, sorted ascending. Since every common out-neighbour c
// of a and b ranks above b, only the part of a's list after b needs merging
// with b's list.
#include <algorithm>
#include <utility>

#include "accel/interrupt.hpp"
#include "accel/operations.hpp"
#include "accel/worker_pool.hpp"

namespace arborvane {

namespace {

// Rank of every node index: its position in ascending (degree, index) order,
// found by a stable counting sort on the degree.
template <class Index>
std::vector<Index> rank_by_degree(const CsrSnapshot& snap) {
  size_t n = snap.node_count();
  uint32_t max_degree = n ? *std::max_element(snap.degrees.begin(), snap.degrees.end()) : 0;
  std::vector<uint64_t> next_rank(static_cast<size_t>(max_degree) + 1, 0);
  for (uint32_t d : snap.degrees) ++next_rank[d];
  uint64_t position = 0;
  for (uint64_t& slot : next_rank) position += std::exchange(slot, position);
  std::vector<Index> rank(n);
  for (size_t i = 0; i < n; ++i) rank[i] = static_cast<Index>(next_rank[snap.degrees[i]]++);
  return rank;
}

template <class Index>
uint64_t count_triangles(const CsrSnapshot& snap, const Index* runs) {
  size_t n = snap.node_count();
  const uint64_t* offsets = snap.offsets.data();
  std::vector<Index> rank = rank_by_degree<Index>(snap);

  // Out-lists, stored in rank order: the ranks of the neighbours ranked above.
  std::vector<uint64_t> out_offsets(n + 1, 0);
  parallel_for(n, 1024, [&](size_t u) {
    uint64_t count = 0;
    for (uint64_t k = offsets[u]; k < offsets[u + 1]; ++k) count += rank[runs[k]] > rank[u];
    out_offsets[rank[u] + 1] = count;
  });
  for (size_t r = 0; r < n; ++r) out_offsets[r + 1] += out_offsets[r];
  std::vector<Index> out(out_offsets[n]);
  parallel_for(n, 1024, [&](size_t u) {
    Index* begin = out.data() + out_offsets[rank[u]];
    Index* dest = begin;
    for (uint64_t k = offsets[u]; k < offsets[u + 1]; ++k) {
      if (rank[runs[k]] > rank[u]) *dest++ = rank[runs[k]];
    }
    std::sort(begin, dest);
  });

  const Index* lists = out.data();
  const uint64_t* bounds = out_offsets.data();
  constexpr ptrdiff_t kPrefetchDistance = 2;
  return parallel_sum(n, 64, [lists, bounds](size_t r) -> uint64_t {
    poll_interrupt_every(r, 256);
    uint64_t found = 0;
    const Index* r_end = lists + bounds[r + 1];
    for (const Index* pv = lists + bounds[r]; pv != r_end; ++pv) {
      // The out-lists of neighbours are scattered: start loading the ones
      // a few steps ahead while this one is merged.
      if (r_end - pv > kPrefetchDistance) __builtin_prefetch(lists + bounds[pv[kPrefetchDistance]]);
      if (r_end - pv > 2 * kPrefetchDistance) __builtin_prefetch(bounds + pv[2 * kPrefetchDistance]);
      const Index* a = pv + 1;
      const Index* b = lists + bounds[*pv];
      const Index* b_end = lists + bounds[*pv + 1];
      while (a != r_end && b != b_end) {
        Index x = *a, y = *b;
        found += x == y;
        a += x <= y;
        b += y <= x;
      }
    }
    return found;
  });
}

}  // namespace

uint64_t triangle_count(GraphState& graph) {
  const CsrSnapshot& snap = ensure_csr(graph);
  return snap.with_neighbor_index([&snap](const auto* runs) { return count_triangles(snap, runs); });
}

}  // namespace arborvane
