// PageRank of a directed, weighted graph, computed in the order of
// operations of NetworkX's pagerank (its SciPy power iteration), so that
// the scores agree with it to rounding:
//   S[i]  = the out-weights of i summed along its row;
//   c[k]  = w_ij * (1 / S[i]) for every entry i -> j;
//   x'[j] = alpha * ((sum of x[i] * c[k] over the entries into j, sources
//           ascending, starting from 0) + dsum * dangling[j]) + (1 - alpha) * p[j]
// where dsum is the sum of x over the nodes without out-weight. Every x'[j]
// is one node's own sequence of operations, so splitting the nodes over
// threads changes no bit; dsum and the L1 change are summed serially in
// index order.
#include <cmath>
#include <utility>
#include <vector>

#include "accel/csr_graph/csr_graph.hpp"
#include "accel/parallel/interrupt.hpp"
#include "accel/parallel/worker_pool.hpp"

namespace arborvane {

namespace {

// Nodes per chunk of the parallel update: below it, waking the pool costs
// more than the work (about 2 us per chunk of 1024 nodes of average degree
// 10, on a 2-core EPYC).
constexpr size_t kMinChunkNodes = 1024;

}  // namespace

uint64_t directed_pagerank(const CsrArrays& out_rows, const CsrArrays& in_rows, const DirectedPagerankOptions& options,
                           std::span<double> x) {
  const size_t n = out_rows.n;
  std::vector<double> inverse_sum(n, 0.0);
  std::vector<int64_t> dangling_nodes;
  out_rows.visit([&](const auto*, auto weight) {
    for (size_t i = 0; i < n; ++i) {
      poll_interrupt_every(i, size_t{1} << 14);
      double s = 0.0;
      for (int64_t k = out_rows.indptr[i]; k < out_rows.indptr[i + 1]; ++k) s += weight(static_cast<uint64_t>(k));
      if (s != 0.0) {
        inverse_sum[i] = 1.0 / s;
      } else {
        dangling_nodes.push_back(static_cast<int64_t>(i));
      }
    }
  });
  // A weighted entry i -> j carries its own coefficient w_ij * (1 / S[i]).
  // Unweighted, that coefficient is 1 / S[i] itself, so each node's
  // x[i] * (1 / S[i]) is formed once per iteration instead of once per
  // entry: the same products, without 8 bytes per entry beside the rows.
  const bool weighted = in_rows.weight_type != WeightType::kNone;
  std::vector<double> coefficient(weighted ? in_rows.entries : 0), scaled(weighted ? 0 : n), next(n);
  if (weighted) {
    in_rows.visit([&](const auto* idx, auto weight) {
      parallel_for_ranges(in_rows.entries, size_t{1} << 14, [&](size_t begin, size_t end) {
        for (size_t k = begin; k < end; ++k) {
          poll_interrupt_every(k, 4096);
          coefficient[k] = inverse_sum[static_cast<size_t>(idx[k])] * weight(k);
        }
      });
    });
  }
  const double alpha = options.alpha, keep = 1.0 - options.alpha;
  const double* p = options.personalization.data();
  const double* dangling = options.dangling.data();
  const double limit = static_cast<double>(n) * options.tol;
  return in_rows.visit([&](const auto* idx, auto) -> uint64_t {
    for (uint64_t iteration = 1; iteration <= options.max_iter; ++iteration) {
      double dsum = 0.0;
      for (int64_t i : dangling_nodes) dsum += x[static_cast<size_t>(i)];
      const double* current = x.data();
      if (weighted) {
        parallel_for_ranges(n, kMinChunkNodes, [&](size_t begin, size_t end) {
          poll_interrupt();
          for (size_t j = begin; j < end; ++j) {
            double sum = 0.0;
            for (int64_t k = in_rows.indptr[j]; k < in_rows.indptr[j + 1]; ++k) {
              sum += current[static_cast<size_t>(idx[k])] * coefficient[static_cast<size_t>(k)];
            }
            next[j] = alpha * (sum + dsum * dangling[j]) + keep * p[j];
          }
        });
      } else {
        parallel_for_ranges(n, kMinChunkNodes, [&](size_t begin, size_t end) {
          poll_interrupt();
          for (size_t i = begin; i < end; ++i) scaled[i] = current[i] * inverse_sum[i];
        });
        parallel_for_ranges(n, kMinChunkNodes, [&](size_t begin, size_t end) {
          poll_interrupt();
          for (size_t j = begin; j < end; ++j) {
            double sum = 0.0;
            for (int64_t k = in_rows.indptr[j]; k < in_rows.indptr[j + 1]; ++k) sum += scaled[static_cast<size_t>(idx[k])];
            next[j] = alpha * (sum + dsum * dangling[j]) + keep * p[j];
          }
        });
      }
      double change = 0.0;
      for (size_t j = 0; j < n; ++j) change += std::fabs(next[j] - x[j]);
      std::copy(next.begin(), next.end(), x.begin());
      poll_interrupt();
      if (change < limit) return iteration;
    }
    return 0;
  });
}

}  // namespace arborvane
