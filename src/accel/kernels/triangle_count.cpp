// Triangle count: the number of sets of three distinct, pairwise adjacent
// nodes. Self-loops never take part.
//
// Each triangle is found once, from its lowest-ranked corner, on the edges
// oriented by degree (degree_orientation.hpp); the remaining imbalance of a
// skewed graph is evened out by the pool's dynamic chunks.
#include "accel/kernels/analytics.hpp"
#include "accel/snapshot/degree_orientation.hpp"
#include "accel/parallel/interrupt.hpp"
#include "accel/parallel/worker_pool.hpp"

namespace arborvane {

namespace {

template <class Index>
uint64_t count_oriented(const CsrSnapshot& snap, const Index* runs) {
  const size_t n = snap.node_count();
  const DegreeOrientation<Index> oriented = orient_by_degree(snap, runs);
  return parallel_sum(n, 64, [&oriented](size_t r) -> uint64_t {
    poll_interrupt_every(r, 256);
    return triangles_from<false>(oriented, r, [](size_t, uint64_t) {});
  });
}

}  // namespace

uint64_t count_triangles(const CsrSnapshot& snap) {
  return snap.with_neighbor_index([&snap](const auto* runs) { return count_oriented(snap, runs); });
}

uint64_t triangle_count(GraphState& graph) { return count_triangles(ensure_csr(graph)); }

}  // namespace arborvane
