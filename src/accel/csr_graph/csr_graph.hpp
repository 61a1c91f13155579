// Kernels of the immutable directed or undirected, optionally weighted
// graph (arborvane.Graph): compressed sparse rows over node indices 0..n-1
// held in arrays the caller owns (numpy arrays on the Python side).
//
// An undirected graph stores every edge in both rows (a self-loop once);
// a directed graph stores its out-rows and, for the searches against the
// direction, its in-rows. Each row is sorted by neighbour index, and the
// weights, when present, are aligned with the entries (float32 or float64).
//
// The arrays come from callers that may be wrong, so every kernel's caller
// checks them first (valid_csr). All results are exact and the same bits
// for any number of worker threads; long loops poll for Ctrl-C.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace arborvane {

enum class WeightType : uint8_t { kNone, kFloat32, kFloat64 };

struct CsrArrays {
  size_t n = 0;                  // nodes
  const int64_t* indptr = nullptr;  // n + 1 row boundaries
  const void* indices = nullptr;    // neighbour indices: int32 or int64
  bool wide = false;                // int64 indices
  const void* weights = nullptr;    // aligned with indices, or null (every weight 1)
  WeightType weight_type = WeightType::kNone;
  size_t entries = 0;  // length of indices (and weights)

  // Calls f(indices, weight) with the typed index pointer and a weight
  // reader w(k) for entry k.
  template <class F>
  decltype(auto) visit(F&& f) const {
    if (wide) return with_weights(static_cast<const int64_t*>(indices), f);
    return with_weights(static_cast<const int32_t*>(indices), f);
  }

 private:
  template <class Index, class F>
  decltype(auto) with_weights(const Index* idx, F& f) const {
    switch (weight_type) {
      case WeightType::kFloat32: {
        const float* w = static_cast<const float*>(weights);
        return f(idx, [w](uint64_t k) { return static_cast<double>(w[k]); });
      }
      case WeightType::kFloat64: {
        const double* w = static_cast<const double*>(weights);
        return f(idx, [w](uint64_t k) { return w[k]; });
      }
      default:
        return f(idx, [](uint64_t) { return 1.0; });
    }
  }
};

// Whether indptr starts at 0, never decreases, ends at `entries`, and every
// index lies in [0, n).
bool valid_csr(const CsrArrays& g);

// Whether some weight is negative or NaN (false without weights).
bool has_negative_weight(const CsrArrays& g);

// Dijkstra from `source` over non-negative weights: dist[i] the least total
// weight of a path (+inf where unreachable), pred[i] the node before i on
// one such path (-1 for the source and unreachable nodes). Ties in the
// queue go to the smaller index, and a predecessor changes only on a
// strictly shorter distance, so the result is deterministic. With a
// target (below n), the search stops once the target is settled; the
// other nodes' entries are then upper bounds.
void dijkstra(const CsrArrays& g, size_t source, int64_t target, std::span<double> dist, std::span<int64_t> pred);

// Hops from `source` along the rows (-1 where unreachable).
void bfs_hops(const CsrArrays& g, size_t source, std::span<int64_t> out);

// Weakly connected components (the rows taken as undirected edges):
// labels 0, 1, ... in the order of each component's smallest node index.
void weak_components(const CsrArrays& g, std::span<int64_t> out);

// Strongly connected components by an iterative Tarjan search, labelled
// like weak_components.
void strong_components(const CsrArrays& g, std::span<int64_t> out);

// PageRank as NetworkX computes it: out_rows give every node's out-weight
// sum S (summed in row order), in_rows the incoming entries (sources
// ascending, weights as in out_rows). Each iteration
//   x'[j] = alpha * (sum_i x[i] * (w_ij / S_i) + dangling_sum * dangling[j]) + (1 - alpha) * p[j]
// with the dangling sum over nodes with S = 0; it stops when the L1 change
// falls below n * tol. `x` holds the start vector and receives the scores.
// Returns the iterations run, or 0 when max_iter passed without converging.
struct DirectedPagerankOptions {
  double alpha = 0.85;
  uint64_t max_iter = 100;
  double tol = 1e-6;
  std::span<const double> personalization;  // n values summing to 1
  std::span<const double> dangling;         // n values summing to 1
};
uint64_t directed_pagerank(const CsrArrays& out_rows, const CsrArrays& in_rows, const DirectedPagerankOptions& options,
                           std::span<double> x);

// Whether every row is strictly ascending (the intersections of
// csr_clustering rely on it).
bool sorted_rows(const CsrArrays& g);

// Local clustering of every node as NetworkX computes it, self-loops
// ignored: undirected (in_rows null) 2 T(i) / (d (d - 1)); directed
// (in_rows the in-rows of `rows`, with the same index and weight types)
// Fagiolo's T(i) / (2 (d (d - 1) - 2 r)). With weights, a triangle counts
// the cube root of the product of its weights, each divided by the largest
// weight. Returns that largest weight (1 without weights); when it is 0
// nothing is computed. Needs sorted rows.
double csr_clustering(const CsrArrays& rows, const CsrArrays* in_rows, std::span<double> out);

// Betweenness centrality as NetworkX computes it without sampling: Brandes'
// algorithm over the rows (breadth-first, or Dijkstra over weights >= 0),
// with endpoints or not, scaled as NetworkX scales directed or undirected
// graphs, normalised or not.
void csr_betweenness(const CsrArrays& g, bool directed, bool normalized, bool endpoints, std::span<double> out);

}  // namespace arborvane
