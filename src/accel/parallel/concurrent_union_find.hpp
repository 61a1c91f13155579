// Disjoint sets over the indices [0, n) that several threads may unite at
// once, lock-free.
//
// A root is always linked below a smaller root, so every parent index is
// smaller than its child's and the root of a set is its smallest index, no
// matter in which order the unions ran. Finds halve their paths; a halving
// store only ever replaces a parent by one of its ancestors, which stays
// correct while other threads link roots, so it needs no compare-and-swap.
// Only linking a root does.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

#include "accel/parallel/interrupt.hpp"

namespace arborvane {

template <class Index>
class ConcurrentUnionFind {
  static_assert(std::atomic<Index>::is_always_lock_free);

 public:
  using IndexType = Index;

  // Every index starts as a set of its own. Throws std::bad_alloc or
  // Interrupted.
  explicit ConcurrentUnionFind(size_t n) : parent_(new std::atomic<Index>[n]), n_(n) {
    in_polled_steps(n, kFillPollElements, [this](size_t from, size_t to) {
      for (size_t i = from; i < to; ++i) parent_[i].store(static_cast<Index>(i), std::memory_order_relaxed);
    });
  }

  size_t size() const noexcept { return n_; }

  Index find(Index x) noexcept {
    for (;;) {
      Index p = parent_[x].load(std::memory_order_relaxed);
      if (p == x) return x;
      Index g = parent_[p].load(std::memory_order_relaxed);
      if (g == p) return p;
      parent_[x].store(g, std::memory_order_relaxed);
      x = g;
    }
  }

  // Hints the cache about x's parent slot.
  void prefetch(Index x) const noexcept { __builtin_prefetch(&parent_[x]); }

  void unite(Index a, Index b) noexcept {
    for (;;) {
      a = find(a);
      b = find(b);
      if (a == b) return;
      if (a < b) std::swap(a, b);
      // Link the larger root below the smaller one, unless another thread
      // has linked it meanwhile: then start over from its new root.
      Index expected = a;
      if (parent_[a].compare_exchange_weak(expected, b, std::memory_order_acq_rel, std::memory_order_relaxed)) {
        return;
      }
    }
  }

  // Single-threaded use after all unions: the parent slot, which callers may
  // overwrite (for example with the root, in ascending index order).
  Index parent(size_t x) const noexcept { return parent_[x].load(std::memory_order_relaxed); }
  void set_parent(size_t x, Index p) noexcept { parent_[x].store(p, std::memory_order_relaxed); }

 private:
  std::unique_ptr<std::atomic<Index>[]> parent_;
  size_t n_;
};

// The most common root among about `samples` indices spread evenly over
// [0, n): in each of `samples` equal stretches, the first index for which
// counted(i) holds, if any. (Not the stretch's first index itself: in a map
// of 1.5 * 2^k slots a third of the slots are nobody's home slot and mostly
// empty, and a stride that is a multiple of 3 could meet only those.) In a
// graph with a giant component, its root. `votes` is how many sampled
// indices had it, out of `sampled`.
struct SampledRoot {
  size_t root = 0;
  size_t votes = 0;
  size_t sampled = 0;
};

template <class Index, class Counted>
SampledRoot most_common_root(ConcurrentUnionFind<Index>& sets, size_t n, size_t samples, const Counted& counted) {
  std::vector<Index> roots;
  const size_t stride = std::max<size_t>(1, n / std::max<size_t>(1, samples));
  for (size_t start = 0; start < n; start += stride) {
    for (size_t i = start; i < std::min(n, start + stride); ++i) {
      if (counted(i)) {
        roots.push_back(sets.find(static_cast<Index>(i)));
        break;
      }
    }
  }
  std::sort(roots.begin(), roots.end());
  SampledRoot best;
  best.sampled = roots.size();
  for (size_t a = 0, b = 0; a < roots.size(); a = b) {
    while (b < roots.size() && roots[b] == roots[a]) ++b;
    if (b - a > best.votes) best = SampledRoot{roots[a], b - a, roots.size()};
  }
  return best;
}

}  // namespace arborvane
