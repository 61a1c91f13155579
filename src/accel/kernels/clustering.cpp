// Clustering coefficients and the triangles through each node, self-loops
// ignored (as NetworkX does):
//   clustering(v)        = 2 T(v) / (d(v) (d(v) - 1)), 0 when d(v) < 2,
//   average_clustering   = mean of clustering(v) over all nodes,
//   transitivity         = 3 * triangles / connected triples
//                        = 6 * triangles / sum of d(v) (d(v) - 1),
// with T(v) the triangles through v and d(v) its degree without a loop.
//
// Requires the CSR snapshot (index runs).
//
// The trick: every triangle is found once, from its lowest-ranked corner on
// the edges oriented by degree (degree_orientation.hpp), and credited to its
// three corners with atomic integer adds, so the per-node counts cost little
// more than the triangle count itself and are exact whatever the schedule.
// The floating-point results are then made exactly as Python makes them
// from the same integers: each ratio correctly rounded (as int / int is),
// and the average summed in node order with Neumaier's compensation (as
// sum() does since Python 3.12). No result depends on the thread count.
#include <algorithm>
#include <atomic>
#include <cmath>

#include "accel/kernels/analytics.hpp"
#include "accel/snapshot/degree_orientation.hpp"
#include "accel/support/exact_ratio.hpp"
#include "accel/parallel/interrupt.hpp"
#include "accel/parallel/worker_pool.hpp"

namespace arborvane {

namespace {

// Nodes per block of the exact triple count (a fixed split, so partial sums
// never depend on the thread count; integers would not care anyway).
constexpr size_t kTripleBlock = 4096;

// Calls emit(u, triangles through u) for every node index u, in parallel.
// The counts are gathered by rank and handed out straight from there
// (rank[u] is u's place in the orientation): no second array of n counts
// by node.
template <class Index, class Emit>
void triangles_per_node(const CsrSnapshot& snap, const Index* runs, Emit&& emit) {
  const size_t n = snap.node_count();
  const DegreeOrientation<Index> oriented = orient_by_degree(snap, runs);
  std::vector<uint64_t> by_rank(n, 0);
  auto credit = [&by_rank](size_t r, uint64_t count) {
    std::atomic_ref<uint64_t>(by_rank[r]).fetch_add(count, std::memory_order_relaxed);
  };
  parallel_for(n, 64, [&](size_t r) {
    poll_interrupt_every(r, 256);
    const uint64_t at_r = triangles_from<true>(oriented, r, credit);
    if (at_r) credit(r, at_r);
  });
  parallel_for(n, 4096, [&](size_t u) { emit(u, by_rank[oriented.rank[u]]); });
}

template <class Index>
void local_clustering(const CsrSnapshot& snap, const Index* runs, double* out) {
  triangles_per_node(snap, runs, [&](size_t u, uint64_t triangles) {
    const uint64_t d = loop_free_degree(snap, runs, u);
    out[u] = triangles ? exact_ratio(u128{2} * triangles, u128{d} * (d - 1)) : 0.0;
  });
}

// Sum of d(v) (d(v) - 1) over all nodes, exactly.
template <class Index>
u128 connected_triples_twice(const CsrSnapshot& snap, const Index* runs) {
  const size_t n = snap.node_count();
  std::vector<u128> partial((n + kTripleBlock - 1) / kTripleBlock, 0);
  parallel_for(partial.size(), 1, [&](size_t block) {
    poll_interrupt();
    u128 sum = 0;
    for (size_t u = block * kTripleBlock; u < std::min(n, (block + 1) * kTripleBlock); ++u) {
      const uint64_t d = loop_free_degree(snap, runs, u);
      if (d > 1) sum += u128{d} * (d - 1);
    }
    partial[block] = sum;
  });
  u128 total = 0;
  for (u128 s : partial) total += s;
  return total;
}

}  // namespace

void clustering(const CsrSnapshot& snap, std::span<double> out) {
  snap.with_neighbor_index([&](const auto* runs) { local_clustering(snap, runs, out.data()); });
}

void node_triangles(const CsrSnapshot& snap, std::span<int64_t> out) {
  snap.with_neighbor_index([&](const auto* runs) {
    triangles_per_node(snap, runs, [&](size_t u, uint64_t triangles) { out[u] = static_cast<int64_t>(triangles); });
  });
}

double average_clustering(const CsrSnapshot& snap) {
  const size_t n = snap.node_count();
  if (n == 0) return 0.0;
  std::vector<double> values(n);
  clustering(snap, values);
  // Neumaier's compensated sum, left to right, exactly as Python's sum().
  double sum = 0.0, compensation = 0.0;
  for (double x : values) {
    const double t = sum + x;
    compensation += std::fabs(sum) >= std::fabs(x) ? (sum - t) + x : (x - t) + sum;
    sum = t;
  }
  if (compensation != 0.0 && std::isfinite(compensation)) sum += compensation;
  return sum / static_cast<double>(n);
}

double transitivity(const CsrSnapshot& snap) {
  const uint64_t triangles = count_triangles(snap);
  if (triangles == 0) return 0.0;
  const u128 triples = snap.with_neighbor_index([&snap](const auto* runs) { return connected_triples_twice(snap, runs); });
  return exact_ratio(u128{6} * triangles, triples);
}

}  // namespace arborvane
