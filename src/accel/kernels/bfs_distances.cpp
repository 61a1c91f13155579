// Hop distance from one source to every node (-1 where unreachable), by a
// breadth-first search on the CSR snapshot.
//
// Requires the CSR snapshot (index runs); the source is a node index.
//
// The trick: direction optimisation (Beamer, Asanovic and Patterson). While
// the frontier is small, it pushes: every frontier node claims its
// unvisited neighbours. Once the frontier's edges outnumber a fraction of
// the edges still unexplored (in a skewed or dense graph, after two or
// three layers), it pulls instead: every unvisited node scans its own
// neighbours for one in the frontier (a bitmap that stays in cache) and
// stops at the first, so most of the middle layers' edges are never read.
// Both steps run on the pool; a node's distance is its layer, which no
// schedule changes, so the result is the same for every thread count.
#include <algorithm>
#include <atomic>
#include <bit>

#include "accel/kernels/analytics.hpp"
#include "accel/parallel/interrupt.hpp"
#include "accel/kernels/position_bitmap.hpp"
#include "accel/snapshot/run_prefetch.hpp"
#include "accel/parallel/shared_appender.hpp"
#include "accel/parallel/worker_pool.hpp"

namespace arborvane {

namespace {

// Switch to pulling when the frontier's edges exceed the unexplored edges
// divided by kPushToPull; back to pushing when the frontier shrinks below
// n / kPullToPush nodes and is shrinking. The values of the GAP benchmark
// suite, which measured them on a wide range of graphs.
constexpr uint64_t kPushToPull = 15;
constexpr uint64_t kPullToPush = 18;
// Smallest pieces a worker claims: frontier nodes when pushing, bitmap
// words (64 nodes each) when pulling.
constexpr size_t kMinFrontierPerRange = 1024;
constexpr size_t kMinWordsPerRange = 256;

template <class Index>
class Search {
 public:
  Search(const CsrSnapshot& snap, const Index* runs, int64_t* distance)
      : snap_(snap), n_(snap.node_count()), offsets_(snap.offsets.data()), runs_(runs), distance_(distance) {}

  void run(size_t source) {
    parallel_for_ranges(n_, 4096, [this](size_t begin, size_t end) { std::fill(distance_ + begin, distance_ + end, -1); });
    // The frontier is frontier_[0, frontier_size); next_ receives the layer
    // after it. Each holds a node at most once, so n entries suffice.
    frontier_.resize(n_);
    next_.resize(n_);
    frontier_[0] = static_cast<Index>(source);
    size_t frontier_size = 1;
    distance_[source] = 0;
    uint64_t frontier_edges = degree(source);
    uint64_t unexplored_edges = offsets_[n_];
    int64_t depth = 0;
    while (frontier_size > 0) {
      if (frontier_edges > unexplored_edges / kPushToPull) {
        PositionBitmap current(n_), next(n_);
        for (size_t i = 0; i < frontier_size; ++i) current.set(frontier_[i]);
        uint64_t awake = frontier_size, previously_awake;
        do {
          previously_awake = awake;
          awake = pull(current, next, ++depth);
          current.swap(next);
        } while (awake > 0 && (awake >= previously_awake || awake > n_ / kPullToPush));
        frontier_size = members(current);
        frontier_edges = 1;  // the next push step measures its frontier afresh
      } else {
        unexplored_edges -= std::min(unexplored_edges, frontier_edges);
        frontier_edges = push(frontier_size, ++depth);
      }
    }
  }

 private:
  uint64_t degree(size_t u) const noexcept { return offsets_[u + 1] - offsets_[u]; }

  // Every unvisited neighbour of the frontier gets `depth` and joins the
  // next frontier, which then replaces it (`frontier_size` is updated).
  // Returns the new frontier's edge count.
  uint64_t push(size_t& frontier_size, int64_t depth) {
    SharedAppender<Index> appender(next_);
    std::atomic<uint64_t> next_edges{0};
    const Index* frontier = frontier_.data();
    parallel_for_ranges(frontier_size, kMinFrontierPerRange, [&](size_t begin, size_t end) {
      typename SharedAppender<Index>::Local out(appender);
      RunPrefetch<Index> prefetch(snap_, runs_, n_ * sizeof(int64_t));
      uint64_t edges = 0;
      for (size_t i = begin; i < end; ++i) {
        poll_interrupt_every(i, 1024);
        prefetch.before(i - begin, end - begin, [&](size_t j) { return frontier[begin + j]; },
                        [this](Index w) { return distance_ + w; });
        const size_t u = frontier[i];
        for (uint64_t k = offsets_[u]; k < offsets_[u + 1]; ++k) {
          const Index v = runs_[k];
          std::atomic_ref<int64_t> slot(distance_[v]);
          int64_t unvisited = -1;
          if (slot.load(std::memory_order_relaxed) < 0 &&
              slot.compare_exchange_strong(unvisited, depth, std::memory_order_relaxed)) {
            out.push(v);
            edges += degree(v);
          }
        }
      }
      next_edges.fetch_add(edges, std::memory_order_relaxed);
    });
    frontier_.swap(next_);
    frontier_size = appender.size();
    return next_edges.load(std::memory_order_relaxed);
  }

  // Every unvisited node with a neighbour in `current` gets `depth` and a
  // bit in `next`. Each range owns whole bitmap words, so no write is
  // shared. Returns the number of nodes reached.
  uint64_t pull(const PositionBitmap& current, PositionBitmap& next, int64_t depth) {
    return parallel_sum(next.word_count(), kMinWordsPerRange, [&](size_t w) -> uint64_t {
      poll_interrupt_every(w, 256);
      uint64_t bits = 0;
      const size_t first = w * 64, last = std::min(n_, first + 64);
      for (size_t v = first; v < last; ++v) {
        if (distance_[v] >= 0) continue;
        for (uint64_t k = offsets_[v]; k < offsets_[v + 1]; ++k) {
          if (current.test(runs_[k])) {
            distance_[v] = depth;
            bits |= uint64_t{1} << (v - first);
            break;
          }
        }
      }
      next.set_word(w, bits);
      return static_cast<uint64_t>(std::popcount(bits));
    });
  }

  // Makes the nodes whose bits are set the frontier; returns their number.
  size_t members(const PositionBitmap& bitmap) {
    size_t count = 0;
    for (size_t w = 0; w < bitmap.word_count(); ++w) {
      for (uint64_t bits = bitmap.word(w); bits; bits &= bits - 1) {
        frontier_[count++] = static_cast<Index>(w * 64 + std::countr_zero(bits));
      }
    }
    return count;
  }

  const CsrSnapshot& snap_;
  size_t n_;
  const uint64_t* offsets_;
  const Index* runs_;
  int64_t* distance_;  // -1 until reached
  std::vector<Index> frontier_, next_;
};

}  // namespace

void bfs_distances(const CsrSnapshot& snap, size_t source, std::span<int64_t> out) {
  snap.with_neighbor_index([&](const auto* runs) {
    using Index = std::remove_cv_t<std::remove_pointer_t<decltype(runs)>>;
    Search<Index>(snap, runs, out.data()).run(source);
  });
}

}  // namespace arborvane
