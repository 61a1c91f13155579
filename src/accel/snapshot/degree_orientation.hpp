// Edges oriented by degree, the layout both triangle counters work on.
//
// Nodes are ranked by (degree, node index) and each edge is oriented from
// its lower-ranked end to its higher-ranked end. A triangle a < b < c in
// that ranking is then found exactly once: at the oriented edge a -> b, as
// a common out-neighbour c of a and b. The orientation caps every out-list
// at about sqrt(2m) entries, so the hubs of a skewed graph cost no more
// than their edges. Self-loops drop out: a node does not rank above itself.
//
// Out-lists hold ranks, sorted ascending, and are stored in rank order.
// Since every common out-neighbour c of a and b ranks above b, only the
// part of a's list after b needs merging with b's list.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "accel/parallel/interrupt.hpp"
#include "accel/parallel/worker_pool.hpp"
#include "accel/snapshot/csr_snapshot.hpp"

namespace arborvane {

template <class Index>
struct DegreeOrientation {
  std::vector<Index> rank;        // rank of every node index
  std::vector<uint64_t> offsets;  // rank r's out-list is lists[offsets[r], offsets[r + 1])
  std::vector<Index> lists;       // ranks of the higher-ranked neighbours, ascending
};

template <class Index>
DegreeOrientation<Index> orient_by_degree(const CsrSnapshot& snap, const Index* runs) {
  const size_t n = snap.node_count();
  const uint64_t* offsets = snap.offsets.data();
  DegreeOrientation<Index> result;

  // Rank: position in ascending (degree, index) order, by a stable counting
  // sort on the degree.
  uint32_t max_degree = n ? *std::max_element(snap.degrees.begin(), snap.degrees.end()) : 0;
  std::vector<uint64_t> next_rank(static_cast<size_t>(max_degree) + 1, 0);
  for (uint32_t d : snap.degrees) ++next_rank[d];
  uint64_t position = 0;
  for (uint64_t& slot : next_rank) position += std::exchange(slot, position);
  std::vector<Index>& rank = result.rank;
  rank.resize(n);
  for (size_t i = 0; i < n; ++i) rank[i] = static_cast<Index>(next_rank[snap.degrees[i]]++);

  std::vector<uint64_t>& out_offsets = result.offsets;
  out_offsets.assign(n + 1, 0);
  // Dense graphs give every node thousands of entries: poll every few nodes.
  parallel_for(n, 1024, [&](size_t u) {
    poll_interrupt_every(u, 64);
    uint64_t count = 0;
    for (uint64_t k = offsets[u]; k < offsets[u + 1]; ++k) count += rank[runs[k]] > rank[u];
    out_offsets[rank[u] + 1] = count;
  });
  for (size_t r = 0; r < n; ++r) out_offsets[r + 1] += out_offsets[r];
  result.lists.resize(out_offsets[n]);
  parallel_for(n, 1024, [&](size_t u) {
    poll_interrupt_every(u, 64);
    Index* begin = result.lists.data() + out_offsets[rank[u]];
    Index* dest = begin;
    for (uint64_t k = offsets[u]; k < offsets[u + 1]; ++k) {
      if (rank[runs[k]] > rank[u]) *dest++ = rank[runs[k]];
    }
    std::sort(begin, dest);
  });
  return result;
}

// Merge steps between two looks at Ctrl-C: about 0.1 ms of merging, so
// polling costs nothing measurable (the callers also poll every 256 nodes).
// On a complete graph of 2,500 nodes one node's merges take up to about
// 3 ms, 256 nodes up to 0.7 s; with polls only between nodes, Ctrl-C took
// 5.6 to 6.1 s there on this loaded 2-core machine, with this poll 10-30 ms.
constexpr ptrdiff_t kMergeSteps = ptrdiff_t{1} << 16;

// The triangles whose lowest-ranked corner is r: for every out-neighbour b
// of r, the common entries of r's list after b and of b's list. Returns
// their number. With kCredit, also calls credit(c, 1) for every third
// corner c and credit(b, count) for every b with count > 0 triangles (all
// ranks).
template <bool kCredit, class Index, class Credit>
uint64_t triangles_from(const DegreeOrientation<Index>& oriented, size_t r, const Credit& credit) {
  constexpr ptrdiff_t kPrefetchDistance = 2;
  const Index* lists = oriented.lists.data();
  const uint64_t* bounds = oriented.offsets.data();
  uint64_t found = 0;
  uint64_t since_poll = 0;  // merge steps since the last look at Ctrl-C
  const Index* r_end = lists + bounds[r + 1];
  for (const Index* pv = lists + bounds[r]; pv != r_end; ++pv) {
    // The out-lists of neighbours are scattered: start loading the ones a
    // few steps ahead while this one is merged.
    if (r_end - pv > kPrefetchDistance) __builtin_prefetch(lists + bounds[pv[kPrefetchDistance]]);
    if (r_end - pv > 2 * kPrefetchDistance) __builtin_prefetch(bounds + pv[2 * kPrefetchDistance]);
    const Index* a = pv + 1;
    const Index* b = lists + bounds[*pv];
    const Index* b_end = lists + bounds[*pv + 1];
    uint64_t at_b = 0;
    while (a != r_end && b != b_end) {
      // At most kMergeSteps entries of each list per round, then a look at
      // Ctrl-C once that much merging was done since the last: dense graphs
      // have long lists, and one node's merges may take seconds.
      const Index* a_stop = a + std::min<ptrdiff_t>(r_end - a, kMergeSteps);
      const Index* b_stop = b + std::min<ptrdiff_t>(b_end - b, kMergeSteps);
      const Index* a_from = a;
      const Index* b_from = b;
      // Without branches when only counting: whether two entries match is a
      // coin toss that a branch would mispredict.
      while (a != a_stop && b != b_stop) {
        const Index x = *a, y = *b;
        if constexpr (kCredit) {
          if (x == y) credit(x, 1);
        }
        at_b += x == y;
        a += x <= y;
        b += y <= x;
      }
      since_poll += static_cast<uint64_t>((a - a_from) + (b - b_from));
      if (since_poll >= kMergeSteps) {
        poll_interrupt();
        since_poll = 0;
      }
    }
    if constexpr (kCredit) {
      if (at_b) credit(*pv, at_b);
    }
    found += at_b;
  }
  return found;
}

}  // namespace arborvane
