// The checks every kernel's caller runs on arrays it did not build itself.
#include <cmath>

#include "accel/csr_graph/csr_graph.hpp"
#include "accel/parallel/interrupt.hpp"

namespace arborvane {

bool valid_csr(const CsrArrays& g) {
  if (g.indptr[0] != 0 || static_cast<uint64_t>(g.indptr[g.n]) != g.entries) return false;
  for (size_t i = 0; i < g.n; ++i) {
    poll_interrupt_every(i, size_t{1} << 16);
    if (g.indptr[i + 1] < g.indptr[i]) return false;
  }
  return g.visit([&](const auto* idx, auto) {
    const auto n = static_cast<int64_t>(g.n);
    for (size_t k = 0; k < g.entries; ++k) {
      poll_interrupt_every(k, size_t{1} << 16);
      if (idx[k] < 0 || static_cast<int64_t>(idx[k]) >= n) return false;
    }
    return true;
  });
}

bool has_negative_weight(const CsrArrays& g) {
  return g.visit([&](const auto*, auto weight) {
    for (size_t k = 0; k < g.entries; ++k) {
      poll_interrupt_every(k, size_t{1} << 16);
      const double w = weight(k);
      if (!(w >= 0.0)) return true;  // NaN too
    }
    return false;
  });
}

}  // namespace arborvane
