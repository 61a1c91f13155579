// Typed access to CsrArrays for kernels that read two sets of rows at once
// (a directed graph's out- and in-rows) or keep the weight type as a
// template parameter: TypedRows<Index, Weight> with Weight float, double
// or void (no weights, every weight 1).
#pragma once

#include <type_traits>
#include <utility>

#include "accel/csr_graph/csr_graph.hpp"

namespace arborvane {

template <class Index, class Weight>
struct TypedRows {
  using IndexType = Index;
  static constexpr bool kWeighted = !std::is_void_v<Weight>;

  const int64_t* indptr;
  const Index* idx;
  const Weight* w;

  explicit TypedRows(const CsrArrays& g)
      : indptr(g.indptr), idx(static_cast<const Index*>(g.indices)), w(static_cast<const Weight*>(g.weights)) {}

  int64_t begin(size_t node) const { return indptr[node]; }
  int64_t end(size_t node) const { return indptr[node + 1]; }
  double weight(int64_t k) const {
    if constexpr (kWeighted) {
      return static_cast<double>(w[k]);
    } else {
      return 1.0;
    }
  }
};

// Calls f(std::type_identity<Index>{}, std::type_identity<Weight>{}) with
// the index and weight types of `g`.
template <class F>
decltype(auto) with_row_types(const CsrArrays& g, F&& f) {
  auto by_weight = [&](auto index) -> decltype(auto) {
    switch (g.weight_type) {
      case WeightType::kFloat32:
        return f(index, std::type_identity<float>{});
      case WeightType::kFloat64:
        return f(index, std::type_identity<double>{});
      default:
        return f(index, std::type_identity<void>{});
    }
  };
  if (g.wide) return by_weight(std::type_identity<int64_t>{});
  return by_weight(std::type_identity<int32_t>{});
}

}  // namespace arborvane
