// Local clustering of a CSR graph as NetworkX defines it, weighted or not,
// directed or not, self-loops ignored.
//
// Undirected: c(i) = 2 T(i) / (d(i) (d(i) - 1)), T(i) summing over the
// unordered pairs {j, k} of i's neighbours that are adjacent either 1 (no
// weights) or the geometric mean (w_ij w_ik w_jk)^(1/3) of the triangle's
// weights, each divided by the largest weight of the graph.
// Directed (Fagiolo): c(i) = T(i) / (2 (d(i) (d(i) - 1) - 2 r(i))), with
// d(i) = in- plus out-degree, r(i) the neighbours that are both, and T(i)
// summing over every way a triangle i, j, k can be read with each of its
// three edges in either direction present, i.e. the diagonal of
// (A + A^T)^3 (A with weights^(1/3) when weighted).
//
// Every node is computed by one thread from its own rows, summing in
// ascending order of j, then k: the same bits for any thread count. For
// each neighbour j, j's row is scanned against marks of i's row (one array
// of n slots per running chunk, a slot per side), or, when j's row is much
// the longer, i's row is searched for in j's sorted row.
//
// kernels/clustering.cpp computes the unweighted undirected case on the
// IntGraphCore snapshot by counting each triangle once from its
// lowest-degree corner, which is faster there; the per-node sums here are
// what weights (float sums, order-sensitive) and directions need.
#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <mutex>
#include <type_traits>
#include <vector>

#include "accel/csr_graph/csr_graph.hpp"
#include "accel/csr_graph/typed_rows.hpp"
#include "accel/parallel/interrupt.hpp"
#include "accel/parallel/worker_pool.hpp"
#include "accel/support/exact_ratio.hpp"

namespace arborvane {

namespace {

// Rows whose lengths differ by more than this factor are intersected by
// binary search of the shorter into the longer instead of merging: the
// crossover of a log2(b) against a + b lies between 8 and 32 for rows of
// 100 to 100000 entries, and merging wins on cache behaviour near it.
constexpr int64_t kGallopRatio = 32;

// Calls f(a, b) for every entry a of ia[a0, a1) and b of ib[b0, b1) that
// hold the same neighbour, in ascending neighbour order (rows sorted).
template <class Index, class F>
void intersect(const Index* ia, int64_t a0, int64_t a1, const Index* ib, int64_t b0, int64_t b1, const F& f) {
  const int64_t la = a1 - a0, lb = b1 - b0;
  if (la * kGallopRatio < lb) {
    for (; a0 < a1 && b0 < b1; ++a0) {
      b0 = std::lower_bound(ib + b0, ib + b1, ia[a0]) - ib;
      if (b0 < b1 && ib[b0] == ia[a0]) f(a0, b0);
    }
  } else if (lb * kGallopRatio < la) {
    for (; b0 < b1 && a0 < a1; ++b0) {
      a0 = std::lower_bound(ia + a0, ia + a1, ib[b0]) - ia;
      if (a0 < a1 && ia[a0] == ib[b0]) f(a0, b0);
    }
  } else {
    while (a0 < a1 && b0 < b1) {
      if (ia[a0] < ib[b0]) {
        ++a0;
      } else if (ib[b0] < ia[a0]) {
        ++b0;
      } else {
        f(a0++, b0++);
      }
    }
  }
}

// The first entry of idx[begin, end) above `node`.
template <class Index>
int64_t after(const Index* idx, int64_t begin, int64_t end, size_t node) {
  return std::upper_bound(idx + begin, idx + end, static_cast<Index>(node)) - idx;
}

// Entries of node's sorted row other than a self-loop.
template <class Rows>
uint64_t loop_free_length(const Rows& r, size_t node) {
  const int64_t b = r.begin(node), e = r.end(node);
  const auto* at = std::lower_bound(r.idx + b, r.idx + e, node, [](auto x, size_t v) { return static_cast<size_t>(x) < v; });
  return static_cast<uint64_t>(e - b) - (at != r.idx + e && static_cast<size_t>(*at) == node ? 1 : 0);
}

// How often a node's loop over its neighbours j polls for Ctrl-C: a hub's
// neighbour costs up to a row intersection, so every few.
constexpr size_t kPollNeighbours = 16;

// Clustering of node i. `sides` are the rows to read triangles from: the
// one set of an undirected graph, or a directed graph's in- and out-rows.
// Rows of j up to this many times longer than i's are scanned against the
// marks of i's row (one look-up per entry of j's); longer ones get a binary
// search for each of i's entries. 16 is about log2 of the longest rows of
// the 1M-edge power-law figures' graph, where the two cost the same.
constexpr int64_t kScanRatio = 16;

// A mark: a place in a row of i, plus 1. The index type's width suffices:
// a strictly ascending row of indices below n has at most n entries.
template <class Rows>
using Mark = std::make_unsigned_t<typename Rows::IndexType>;

// Clustering of node i. `marks` holds Sides slots per node, all 0 (node v's
// slot for side b at v * Sides + b; both sides of a node share a cache
// line): i's entries are marked there (place in i's row + 1) for the time
// of the call.
template <class Rows, size_t Sides>
double node_clustering(const std::array<Rows, Sides>& sides, Mark<Rows>* marks, double top, size_t i) {
  constexpr bool kWeighted = Rows::kWeighted;
  constexpr bool kUndirected = Sides == 1;
  for (size_t b = 0; b < Sides; ++b) {
    const int64_t first = sides[b].begin(i);
    for (int64_t k = first; k < sides[b].end(i); ++k) {
      marks[static_cast<size_t>(sides[b].idx[k]) * Sides + b] = static_cast<Mark<Rows>>(k - first + 1);
    }
  }
  double sum = 0.0;    // weighted: the sum of the triangles' geometric means
  uint64_t count = 0;  // unweighted: the triangles
  size_t step = 0;
  for (const Rows& a : sides) {  // the edge i-j in either direction
    for (int64_t ja = a.begin(i); ja < a.end(i); ++ja) {
      poll_interrupt_every(++step, kPollNeighbours);
      const auto j = static_cast<size_t>(a.idx[ja]);
      if (j == i) continue;
      const double wij = kWeighted ? a.weight(ja) / top : 1.0;
      for (size_t bi = 0; bi < Sides; ++bi) {  // the edge i-k
        const Rows& b = sides[bi];
        for (const Rows& c : sides) {  // the edge j-k
          int64_t b0 = b.begin(i), c0 = c.begin(j);
          if constexpr (kUndirected) {  // each unordered pair {j, k} once
            b0 = after(b.idx, b0, b.end(i), j);
            c0 = after(c.idx, c0, c.end(j), j);
          }
          auto triangle = [&](int64_t kb, int64_t kc) {
            const auto k = static_cast<size_t>(b.idx[kb]);
            if (k == i || k == j) return;
            if constexpr (kWeighted) {
              // NetworkX's factor order: i-j, j-k, k-i undirected; i-j, i-k,
              // j-k directed.
              const double wik = b.weight(kb) / top, wjk = c.weight(kc) / top;
              sum += std::cbrt(kUndirected ? wij * wjk * wik : wij * wik * wjk);
            } else {
              ++count;
            }
          };
          // Either way the matches come in ascending k: the same sum.
          if (c.end(j) - c0 <= (b.end(i) - b0) * kScanRatio) {
            const int64_t before_first = b.begin(i) - 1;
            for (int64_t kc = c0; kc < c.end(j); ++kc) {
              const Mark<Rows> mark = marks[static_cast<size_t>(c.idx[kc]) * Sides + bi];
              const int64_t kb = before_first + static_cast<int64_t>(mark);
              if (kb >= b0) triangle(kb, kc);
            }
          } else {
            intersect(b.idx, b0, b.end(i), c.idx, c0, c.end(j), triangle);
          }
        }
      }
    }
  }
  for (size_t b = 0; b < Sides; ++b) {
    for (int64_t k = sides[b].begin(i); k < sides[b].end(i); ++k) {
      marks[static_cast<size_t>(sides[b].idx[k]) * Sides + b] = 0;
    }
  }
  if (kWeighted ? sum == 0.0 : count == 0) return 0.0;
  u128 pairs;  // the denominator, exactly
  if constexpr (kUndirected) {
    const uint64_t d = loop_free_length(sides[0], i);
    pairs = u128{d} * (d - 1);
    if constexpr (kWeighted) return 2.0 * sum / static_cast<double>(pairs);
    return exact_ratio(u128{2} * count, pairs);
  } else {
    const Rows &in = sides[0], &out = sides[1];
    const uint64_t d = loop_free_length(in, i) + loop_free_length(out, i);
    uint64_t reciprocal = 0;
    intersect(in.idx, in.begin(i), in.end(i), out.idx, out.begin(i), out.end(i), [&](int64_t k, int64_t) {
      if (static_cast<size_t>(in.idx[k]) != i) ++reciprocal;
    });
    pairs = (u128{d} * (d - 1) - u128{2} * reciprocal) * 2;
    if constexpr (kWeighted) return sum / static_cast<double>(pairs);
    return exact_ratio(count, pairs);
  }
}

// Nodes per chunk of the parallel loop: a chunk is a few hundred
// intersections at least.
constexpr size_t kNodesPerChunk = 16;

// Mark arrays for the chunks running at once: one array of n * sides marks
// per chunk while it runs, taken from a free list (a fresh one if every one
// is taken).
template <class Mark>
class MarkSets {
 public:
  MarkSets(size_t n, size_t sides) : n_(n), sides_(sides) {}

  std::unique_ptr<Mark[]> take() {
    {
      std::lock_guard lock(mutex_);
      if (!free_.empty()) {
        auto set = std::move(free_.back());
        free_.pop_back();
        return set;
      }
    }
    return std::unique_ptr<Mark[]>(new Mark[n_ * sides_]());
  }
  void give_back(std::unique_ptr<Mark[]> set) {
    std::lock_guard lock(mutex_);
    free_.push_back(std::move(set));
  }

 private:
  size_t n_, sides_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<Mark[]>> free_;
};

template <class Rows, size_t Sides>
void all_clustering(const std::array<Rows, Sides>& sides, double top, std::span<double> out) {
  const size_t n = out.size();
  MarkSets<Mark<Rows>> sets(n, Sides);
  parallel_for_ranges(n, kNodesPerChunk, [&](size_t begin, size_t end) {
    std::unique_ptr<Mark<Rows>[]> set = sets.take();
    // An interruption leaves marks behind: the set is then dropped.
    for (size_t i = begin; i < end; ++i) out[i] = node_clustering(sides, set.get(), top, i);
    sets.give_back(std::move(set));
  });
}

}  // namespace

bool sorted_rows(const CsrArrays& g) {
  return g.visit([&](const auto* idx, auto) {
    for (size_t u = 0; u < g.n; ++u) {
      poll_interrupt_every(u, size_t{1} << 12);
      for (int64_t k = g.indptr[u] + 1; k < g.indptr[u + 1]; ++k) {
        if (idx[k - 1] >= idx[k]) return false;
      }
    }
    return true;
  });
}

double csr_clustering(const CsrArrays& rows, const CsrArrays* in_rows, std::span<double> out) {
  double top = 1.0;
  if (rows.weight_type != WeightType::kNone && rows.entries > 0) {
    top = rows.visit([&](const auto*, auto weight) {
      double largest = weight(0);
      for (size_t k = 1; k < rows.entries; ++k) {
        poll_interrupt_every(k, size_t{1} << 16);
        largest = std::max(largest, weight(k));
      }
      return largest;
    });
    if (top == 0.0) return top;
  }
  with_row_types(rows, [&](auto index, auto weight) {
    using Rows = TypedRows<typename decltype(index)::type, typename decltype(weight)::type>;
    if (in_rows) {
      all_clustering(std::array<Rows, 2>{Rows(*in_rows), Rows(rows)}, top, out);
    } else {
      all_clustering(std::array<Rows, 1>{Rows(rows)}, top, out);
    }
  });
  return top;
}

}  // namespace arborvane
