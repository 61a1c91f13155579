// Core number of every node: the largest k such that the node belongs to a
// k-core, a maximal subgraph in which every node has at least k neighbours.
// Self-loops are ignored (a node is not its own neighbour here).
//
// Requires the CSR snapshot (index runs).
//
// The trick: level-synchronous peeling on the pool (Kabir and Madduri's
// PKC). At level k, every remaining node whose current degree is k is
// peeled in parallel: it keeps k as its core number and lowers the degree
// of each neighbour still above k; a neighbour that drops to k is peeled in
// the next round of the same level. Only the thread whose decrement takes a
// degree from k + 1 to k queues it, so each node is peeled once. A frontier
// too small to share is peeled on the calling thread instead, as a queue
// that takes in the nodes it brings down until the level is done, so a long
// cascade costs no rounds. The remaining nodes are compacted at each level,
// and empty levels are skipped, so the work is O(n + m) plus one pass over
// the survivors per level. Core numbers are unique, so the schedule cannot
// change them.
#include <atomic>

#include "accel/kernels/analytics.hpp"
#include "accel/parallel/interrupt.hpp"
#include "accel/snapshot/run_prefetch.hpp"
#include "accel/parallel/shared_appender.hpp"
#include "accel/parallel/worker_pool.hpp"

namespace arborvane {

namespace {

// Smallest piece a worker claims: cheap degree tests when splitting, a
// node's edge list when peeling.
constexpr size_t kMinSplitPerRange = 4096;
constexpr size_t kMinPeelPerRange = 256;
// Frontiers smaller than this are peeled on the calling thread: a round on
// the pool costs a hand-over and a wait, worth it only for more work. With
// this threshold the whole peeling ran 10 to 20% faster on one thread than
// with rounds only (G(n, m) with 10,000 nodes / 50,000 edges and 1,000,000 /
// 10,000,000, and a power-law graph of 1,000,000 / 10,000,000).
constexpr size_t kPoolFrontier = 4096;

template <class Index>
class Peeling {
 public:
  Peeling(const CsrSnapshot& snap, const Index* runs)
      : snap_(snap), runs_(runs), n_(snap.node_count()) {
    resize_polling(degree_, n_);
    for (std::vector<Index>* array : {&remaining_, &kept_, &frontier_, &next_}) resize_polling(*array, n_);
  }

  void run(int64_t* core) {
    parallel_for(n_, 1024, [&](size_t u) {
      degree_[u] = static_cast<uint32_t>(loop_free_degree(snap_, runs_, u));
      remaining_[u] = static_cast<Index>(u);
    });
    size_t remaining = n_;
    uint32_t level = 0;
    while (remaining > 0) {
      poll_interrupt();
      uint32_t lowest_above = 0;
      size_t frontier = split(remaining, level, lowest_above);
      if (frontier == 0) {
        level = lowest_above;  // no node at this level: jump to the next one
        continue;
      }
      while (frontier > 0) frontier = frontier < kPoolFrontier ? drain(frontier, level) : peel(frontier, level);
      ++level;
    }
    // A peeled node's degree stopped at its level: its core number.
    parallel_for(n_, 4096, [&](size_t u) { core[u] = degree_[u]; });
  }

 private:
  // Moves the remaining nodes at `level` to the frontier and keeps those
  // above it (nodes below were peeled already). Returns the frontier's
  // size; `remaining` becomes the number kept and `lowest_above` their
  // smallest degree.
  size_t split(size_t& remaining, uint32_t level, uint32_t& lowest_above) {
    SharedAppender<Index> at_level(frontier_), above(kept_);
    std::atomic<uint32_t> lowest{UINT32_MAX};
    parallel_for_ranges(remaining, kMinSplitPerRange, [&](size_t begin, size_t end) {
      typename SharedAppender<Index>::Local frontier(at_level), kept(above);
      uint32_t range_lowest = UINT32_MAX;
      for (size_t i = begin; i < end; ++i) {
        poll_interrupt_every(i);
        const Index u = remaining_[i];
        const uint32_t d = degree_[u];
        if (d == level) {
          frontier.push(u);
        } else if (d > level) {
          kept.push(u);
          range_lowest = std::min(range_lowest, d);
        }
      }
      uint32_t seen = lowest.load(std::memory_order_relaxed);
      while (range_lowest < seen && !lowest.compare_exchange_weak(seen, range_lowest, std::memory_order_relaxed)) {
      }
    });
    remaining_.swap(kept_);
    remaining = above.size();
    lowest_above = lowest.load(std::memory_order_relaxed);
    return at_level.size();
  }

  // Peels the frontier at `level` on the calling thread, queueing behind it
  // every neighbour it brings down to `level`, until none is left. Returns 0.
  size_t drain(size_t frontier_size, uint32_t level) {
    const uint64_t* offsets = snap_.offsets.data();
    Index* queue = frontier_.data();
    uint32_t* degree = degree_.data();
    RunPrefetch<Index> prefetch(snap_, runs_, n_ * sizeof(uint32_t));
    for (size_t head = 0; head < frontier_size; ++head) {
      poll_interrupt_every(head);
      prefetch.before(head, frontier_size, [queue](size_t j) { return queue[j]; },
                      [degree](Index w) { return degree + w; });
      const Index v = queue[head];
      for (uint64_t k = offsets[v]; k < offsets[v + 1]; ++k) {
        const Index u = runs_[k];
        if (degree[u] > level && --degree[u] == level) queue[frontier_size++] = u;
      }
    }
    return 0;
  }

  // Peels the frontier at `level` on the pool; the neighbours it brings
  // down to `level` become the new frontier. Returns its size.
  size_t peel(size_t frontier_size, uint32_t level) {
    SharedAppender<Index> dropped(next_);
    const uint64_t* offsets = snap_.offsets.data();
    parallel_for_ranges(frontier_size, kMinPeelPerRange, [&](size_t begin, size_t end) {
      typename SharedAppender<Index>::Local out(dropped);
      RunPrefetch<Index> prefetch(snap_, runs_, n_ * sizeof(uint32_t));
      const Index* nodes = frontier_.data() + begin;
      for (size_t i = begin; i < end; ++i) {
        poll_interrupt_every(i, 1024);
        prefetch.before(i - begin, end - begin, [nodes](size_t j) { return nodes[j]; },
                        [this](Index w) { return &degree_[w]; });
        const Index v = frontier_[i];
        for (uint64_t k = offsets[v]; k < offsets[v + 1]; ++k) {
          const Index u = runs_[k];
          std::atomic_ref<uint32_t> degree(degree_[u]);
          // Peeled already (v itself, through a self-loop, among them).
          if (degree.load(std::memory_order_relaxed) <= level) continue;
          const uint32_t before = degree.fetch_sub(1, std::memory_order_relaxed);
          if (before == level + 1) {
            out.push(u);
          } else if (before <= level) {
            // Another peeled neighbour brought it down to `level` since the
            // test above: a peeled node's degree must stay at its level.
            degree.fetch_add(1, std::memory_order_relaxed);
          }
        }
      }
    });
    frontier_.swap(next_);
    return dropped.size();
  }

  const CsrSnapshot& snap_;
  const Index* runs_;
  size_t n_;
  std::vector<uint32_t> degree_;
  std::vector<Index> remaining_, kept_, frontier_, next_;
};

}  // namespace

void core_numbers(const CsrSnapshot& snap, std::span<int64_t> out) {
  snap.with_neighbor_index([&](const auto* runs) {
    using Index = std::remove_cv_t<std::remove_pointer_t<decltype(runs)>>;
    Peeling<Index>(snap, runs).run(out.data());
  });
}

}  // namespace arborvane
