// Degree centrality of every node: its degree over n - 1, as NetworkX's
// degree_centrality(G) defines it, bit for bit: a self-loop counts twice in
// the degree, the factor is 1.0 / (n - 1.0) and each value is degree times
// factor; with one node or none, every value is 1.0.
//
// Requires the CSR snapshot (index runs). A run holds a self-loop once, as
// the node's own index, found by binary search (the runs are sorted), so
// the degree is the run length plus one where the node has a loop.
#include <algorithm>

#include "accel/kernels/analytics.hpp"
#include "accel/parallel/interrupt.hpp"
#include "accel/parallel/worker_pool.hpp"

namespace arborvane {

namespace {

// Nodes a worker claims at once: a binary search and a store each. The
// grain of core_number.cpp's degree scan (kMinSplitPerRange), which does the
// same kind of work; not measured apart, the loop is bound by memory.
constexpr size_t kMinNodesPerRange = 4096;

}  // namespace

void degree_centrality(const CsrSnapshot& snap, std::span<double> out) {
  const size_t n = snap.node_count();
  if (n <= 1) {
    std::fill(out.begin(), out.end(), 1.0);
    return;
  }
  const double factor = 1.0 / (static_cast<double>(n) - 1.0);
  snap.with_neighbor_index([&](const auto* runs) {
    parallel_for_ranges(n, kMinNodesPerRange, [&](size_t begin, size_t end) {
      for (size_t u = begin; u < end; ++u) {
        poll_interrupt_every(u - begin);
        const uint64_t length = snap.offsets[u + 1] - snap.offsets[u];
        const uint64_t degree = 2 * length - loop_free_degree(snap, runs, u);
        out[u] = static_cast<double>(degree) * factor;
      }
    });
  });
}

}  // namespace arborvane
