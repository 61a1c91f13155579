// Sparse matrix-vector sums over CSR rows (csr_graph.hpp's CsrArrays).
#pragma once

#include <span>

#include "accel/csr_graph/csr_graph.hpp"

namespace arborvane {

// y[j] = start + sum over the entries k of row j of w(k) * x[indices[k]],
// added one by one in entry order after `start` (so the sums are the same
// bits for every thread count, and a caller fixes the addition order by the
// order of each row). x and y hold g.n values.
void csr_matvec(const CsrArrays& g, std::span<const double> x, double start, std::span<double> y);

}  // namespace arborvane
