// PageRank by power iteration on the undirected graph (each edge counts in
// both directions):
//
//   next[j] = (1 - d)/n + sum over neighbours i of j of (d * rank[i]) / degree[i]
//
// with the neighbours' shares added one by one in ascending node index, a
// node with a self-loop being its own neighbour. The L1 change of each
// iteration is summed left to right over the nodes, and the loop stops as
// soon as it falls below tol (a NaN change never stops it).
//
// The kernel pulls: every node j walks its own run of neighbour indices,
// which the snapshot keeps sorted by index, and adds up the precomputed
// shares in that order. Each node's sum is thus the same sequence of
// floating-point additions whichever thread computes it, so the scores are
// bit-identical for every thread count, and no iteration allocates. The
// share of the new score is computed in the same pass, ready for the next
// iteration.
#include <cmath>
#include <utility>

#include "accel/interrupt.hpp"
#include "accel/operations.hpp"
#include "accel/worker_pool.hpp"

namespace arborvane {

namespace {

// Neighbour shares are gathered from a vector of n doubles. Once that vector
// outgrows the cache, every gather is a miss, so large graphs are processed
// in source segments of this many nodes (4 MiB of shares): one pass per
// segment over all nodes, each adding only the neighbours that fall in the
// segment. Runs are sorted by index, so the passes add every node's shares
// in exactly the ascending order of a single pass, carrying the running sum
// in next_rank between passes.
constexpr size_t kSegmentNodes = size_t{1} << 19;

// Where each node's run crosses into each segment after the first: one
// vector per boundary, positions relative to the run start.
template <class Index>
std::vector<std::vector<uint32_t>> segment_boundaries(const CsrSnapshot& snap, const Index* runs, size_t segments) {
  size_t n = snap.node_count();
  const uint64_t* offsets = snap.offsets.data();
  std::vector<std::vector<uint32_t>> bounds(segments - 1, std::vector<uint32_t>(n));
  parallel_for(n, 1024, [&](size_t j) {
    uint64_t k = offsets[j], end = offsets[j + 1];
    for (size_t s = 1; s < segments; ++s) {
      uint64_t first_index = static_cast<uint64_t>(s) * kSegmentNodes;
      while (k < end && runs[k] < first_index) ++k;
      bounds[s - 1][j] = static_cast<uint32_t>(k - offsets[j]);
    }
  });
  return bounds;
}

template <class Index>
std::vector<double> iterate(const CsrSnapshot& snap, const Index* runs, double damping, uint64_t max_iter,
                            double tol) {
  size_t n = snap.node_count();
  const uint64_t* offsets = snap.offsets.data();
  const uint32_t* degrees = snap.degrees.data();
  double teleport = (1.0 - damping) / static_cast<double>(n);

  std::vector<double> rank(n, 1.0 / static_cast<double>(n));
  std::vector<double> next_rank(n, teleport);
  // share[i] = (d * rank[i]) / degree[i]; never read for a node without
  // neighbours, since no run lists such a node.
  std::vector<double> share(n), next_share(n);
  auto share_of = [damping, degrees](size_t i, double score) {
    return degrees[i] ? (damping * score) / static_cast<double>(degrees[i]) : 0.0;
  };
  constexpr size_t kMinChunk = 1024;
  parallel_for(n, kMinChunk, [&](size_t i) { share[i] = share_of(i, rank[i]); });

  size_t segments = (n + kSegmentNodes - 1) / kSegmentNodes;
  std::vector<std::vector<uint32_t>> bounds;
  if (segments > 1) bounds = segment_boundaries(snap, runs, segments);

  for (uint64_t iteration = 0; iteration < max_iter; ++iteration) {
    const double* current_share = share.data();
    for (size_t s = 0; s < segments; ++s) {
      const uint32_t* from = s > 0 ? bounds[s - 1].data() : nullptr;
      const uint32_t* to = s + 1 < segments ? bounds[s].data() : nullptr;
      bool last = s + 1 == segments;
      parallel_for(n, kMinChunk, [&](size_t j) {
        uint64_t k = offsets[j] + (from ? from[j] : 0);
        uint64_t end = to ? offsets[j] + to[j] : offsets[j + 1];
        double sum = from ? next_rank[j] : teleport;
        for (; k < end; ++k) sum += current_share[runs[k]];
        next_rank[j] = sum;
        if (last) next_share[j] = share_of(j, sum);
      });
    }
    poll_interrupt();
    double change = 0.0;
    for (size_t j = 0; j < n; ++j) change += std::fabs(rank[j] - next_rank[j]);
    std::swap(rank, next_rank);
    std::swap(share, next_share);
    if (change < tol) break;
  }
  return rank;
}

}  // namespace

std::vector<double> pagerank(GraphState& graph, double damping, uint64_t max_iter, double tol) {
  const CsrSnapshot& snap = ensure_csr(graph);
  if (snap.node_count() == 0) return {};
  return snap.with_neighbor_index(
      [&](const auto* runs) { return iterate(snap, runs, damping, max_iter, tol); });
}

}  // namespace arborvane
