// The row sums of a CSR matrix times a vector: one PageRank step of a
// partition held by arborvane.dask (the start being the teleport term).
#include "accel/csr_graph/matvec.hpp"

#include "accel/parallel/interrupt.hpp"
#include "accel/parallel/worker_pool.hpp"

namespace arborvane {

namespace {

// Rows per piece of the parallel loop: at least this many, so a piece of
// short rows outlasts waking a thread.
constexpr size_t kMinRows = 4096;

}  // namespace

void csr_matvec(const CsrArrays& g, std::span<const double> x, double start, std::span<double> y) {
  const int64_t* indptr = g.indptr;
  const double* in = x.data();
  double* out = y.data();
  g.visit([&](const auto* idx, auto weight) {
    parallel_for_ranges(g.n, kMinRows, [&](size_t begin, size_t end) {
      for (size_t j = begin; j < end; ++j) {
        poll_interrupt_every(j - begin, size_t{1} << 12);
        double sum = start;
        for (int64_t k = indptr[j]; k < indptr[j + 1]; ++k) {
          sum += weight(static_cast<uint64_t>(k)) * in[idx[k]];
        }
        out[j] = sum;
      }
    });
    return 0;
  });
}

}  // namespace arborvane
