// Hop distances along the rows by a serial breadth-first search: the queue
// is the output order itself, so the search needs one array of n indices.
#include <algorithm>
#include <vector>

#include "accel/csr_graph/csr_graph.hpp"
#include "accel/parallel/interrupt.hpp"

namespace arborvane {

void bfs_hops(const CsrArrays& g, size_t source, std::span<int64_t> out) {
  std::fill(out.begin(), out.end(), int64_t{-1});
  std::vector<int64_t> queue(g.n);
  size_t head = 0, tail = 0, step = 0;
  queue[tail++] = static_cast<int64_t>(source);
  out[source] = 0;
  g.visit([&](const auto* idx, auto) {
    while (head < tail) {
      const int64_t u = queue[head++];
      const int64_t next = out[u] + 1;
      for (int64_t k = g.indptr[u]; k < g.indptr[u + 1]; ++k) {
        poll_interrupt_every(++step, 4096);
        const auto v = static_cast<int64_t>(idx[k]);
        if (out[v] < 0) {
          out[v] = next;
          queue[tail++] = v;
        }
      }
    }
  });
}

}  // namespace arborvane
