// Single-source Dijkstra with a binary heap and lazy deletion: a node may
// sit in the heap several times, and every entry but the one with its
// final distance is skipped when popped. (dist, index) pairs order the
// heap, so equal distances settle in ascending index.
#include <algorithm>
#include <functional>
#include <limits>
#include <queue>
#include <utility>
#include <vector>

#include "accel/csr_graph/csr_graph.hpp"
#include "accel/parallel/interrupt.hpp"

namespace arborvane {

void dijkstra(const CsrArrays& g, size_t source, int64_t target, std::span<double> dist, std::span<int64_t> pred) {
  std::fill(dist.begin(), dist.end(), std::numeric_limits<double>::infinity());
  std::fill(pred.begin(), pred.end(), int64_t{-1});
  g.visit([&](const auto* idx, auto weight) {
    using Entry = std::pair<double, int64_t>;
    std::priority_queue<Entry, std::vector<Entry>, std::greater<>> heap;
    dist[source] = 0.0;
    heap.emplace(0.0, static_cast<int64_t>(source));
    size_t step = 0;
    while (!heap.empty()) {
      const auto [d, u] = heap.top();
      heap.pop();
      if (d > dist[u]) continue;  // a stale entry
      if (u == target) break;
      for (int64_t k = g.indptr[u]; k < g.indptr[u + 1]; ++k) {
        poll_interrupt_every(++step, 4096);
        const auto v = static_cast<int64_t>(idx[k]);
        const double candidate = d + weight(static_cast<uint64_t>(k));
        if (candidate < dist[v]) {
          dist[v] = candidate;
          pred[v] = u;
          heap.emplace(candidate, v);
        }
      }
    }
  });
}

}  // namespace arborvane
