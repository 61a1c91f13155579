// Triangle count: the number of sets of three distinct, pairwise adjacent
// nodes. Self-loops never take part.
//
// Each edge is oriented from the endpoint ranked lower to the one ranked
// higher, ranking nodes by (degree, node index). A triangle a < b < c in that
// ranking is then found exactly once: at the oriented edge a -> b, as the
// common out-neighbour c of a and b. The orientation caps every out-list at
// about sqrt(2m) entries, so hubs of a skewed graph cost no more than their
// edges, and the remaining imbalance is evened out by the pool's dynamic
// chunks. Out-lists keep the index order of the snapshot's runs, so two of
// them intersect by a forward merge.
#include <algorithm>

#include "accel/operations.hpp"
#include "accel/worker_pool.hpp"

namespace arborvane {

namespace {

template <class Index>
uint64_t count_triangles(const CsrSnapshot& snap, const Index* runs) {
  size_t n = snap.node_count();
  const uint64_t* offsets = snap.offsets.data();
  const uint32_t* degrees = snap.degrees.data();
  auto ranks_below = [degrees](uint64_t u, uint64_t v) {
    return degrees[u] < degrees[v] || (degrees[u] == degrees[v] && u < v);
  };

  // Out-lists: the neighbours ranked above each node, in index order.
  std::vector<uint64_t> out_offsets(n + 1, 0);
  parallel_for(n, 1024, [&](size_t u) {
    uint64_t count = 0;
    for (uint64_t k = offsets[u]; k < offsets[u + 1]; ++k) count += ranks_below(u, runs[k]);
    out_offsets[u + 1] = count;
  });
  for (size_t u = 0; u < n; ++u) out_offsets[u + 1] += out_offsets[u];
  std::vector<Index> out(out_offsets[n]);
  parallel_for(n, 1024, [&](size_t u) {
    Index* dest = out.data() + out_offsets[u];
    for (uint64_t k = offsets[u]; k < offsets[u + 1]; ++k) {
      if (ranks_below(u, runs[k])) *dest++ = runs[k];
    }
  });

  const Index* lists = out.data();
  return parallel_sum(n, 64, [&](size_t u) -> uint64_t {
    uint64_t found = 0;
    const Index* u_begin = lists + out_offsets[u];
    const Index* u_end = lists + out_offsets[u + 1];
    for (const Index* pv = u_begin; pv != u_end; ++pv) {
      const Index* a = u_begin;
      const Index* b = lists + out_offsets[*pv];
      const Index* b_end = lists + out_offsets[*pv + 1];
      while (a != u_end && b != b_end) {
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
