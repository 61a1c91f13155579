// PageRank by power iteration on the undirected graph (each edge counts in
// both directions):
//
//   next[j] = (1 - d)/n + sum over neighbours i of j of (d * rank[i]) / degree[i]
//
// with the neighbours' shares added one by one in ascending node index, a
// node with a self-loop being its own neighbour. The L1 change of each
// iteration is summed left to right over the nodes, and the loop stops as
// soon as it falls below tol (a NaN change never stops it); whether it did
// before max_iter ran out is reported to callers that ask. That sum is
// carried along while the blocks of new scores are still being computed,
// so it costs no pass of its own.
//
// Every node's sum is the same sequence of floating-point additions however
// the work is split, so the scores are bit-identical for every thread count.
// Two kernels compute it:
//
// - Pull (graphs up to kPullNodes nodes): every node j walks its own run of
//   neighbour indices, which the snapshot keeps sorted by index, and adds up
//   the precomputed shares in that order. The shares fit in the cache, so
//   the gathers hit.
//
// - Propagation blocking (larger graphs, where a gather from n shares would
//   miss the cache on nearly every entry): the nodes are cut into
//   destination blocks of kBlockNodes, whose scores fit in the core's own
//   cache. Each iteration first walks the sources in ascending index and
//   appends every share to the bin of its destination's block (sequential
//   writes into a few hundred streams), then sums each bin into its block.
//   A bin lists its entries in ascending source order, so each node receives
//   its shares in exactly the order of the pull. Which destination each bin
//   entry goes to never changes, so those 16-bit block offsets are laid out
//   once per call, by the first iteration's walk; after that only the
//   shares are written and read back.
//   Memory and time per iteration are linear in nodes plus entries.
#include <algorithm>
#include <bit>
#include <cmath>
#include <mutex>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "accel/parallel/interrupt.hpp"
#include "accel/kernels/analytics.hpp"
#include "accel/parallel/worker_pool.hpp"

namespace arborvane {

namespace {

// Up to this many nodes the pull kernel runs: its 8 MiB of shares mostly
// hit the last-level cache. Measured on a quiet 2-core EPYC, CPU per
// neighbour entry and iteration, pull against propagation blocking: 1M
// nodes / 10M edges 7.6 against 11.3 ns, 1M / 2M 13.3 against 13.4 ns (and
// a third of the first iteration's cost, which lays out the bins), 2M / 4M
// 19.9 against 12.8 ns, 4M / 16M 21.2 against 12.9 ns.
constexpr size_t kPullNodes = size_t{1} << 20;

// Destination blocks of 2^16 nodes: 512 KiB of scores, within one core's L2,
// and a 16-bit offset per bin entry.
constexpr unsigned kBlockBits = 16;
constexpr size_t kBlockNodes = size_t{1} << kBlockBits;

// Sources are binned in chunks of this many nodes, each with its own range
// in every bin, so chunks run on any thread in any order.
constexpr size_t kSourceChunkNodes = size_t{1} << 14;

// Graphs with fewer neighbour entries than this run every loop on the
// calling thread: an iteration is then shorter than waking the pool.
constexpr uint64_t kInlineEntries = uint64_t{1} << 16;

// One cache line of shares to memory without reading it first, and the
// fence that orders such writes before the loop's end is signalled.
#if defined(__SSE2__)
// Eight 8-byte writes: a 16-byte load of two shares just stored one by one
// would wait for both stores to drain instead of taking them forwarded.
inline void store_line(double* to, const double* from) {
  for (size_t k = 0; k < 8; ++k) _mm_stream_si64(reinterpret_cast<long long*>(to + k), std::bit_cast<long long>(from[k]));
}
inline void store_fence() { _mm_sfence(); }
#else
inline void store_line(double* to, const double* from) { std::copy(from, from + 8, to); }
inline void store_fence() {}
#endif

// Runs f(begin, end) over [0, n): on the pool, or in one piece here.
template <class F>
void for_ranges(bool on_pool, size_t n, size_t min_chunk, const F& f) {
  if (on_pool) {
    parallel_for_ranges(n, min_chunk, f);
  } else if (n > 0) {
    f(size_t{0}, n);
  }
}

// share of node i = (d * score) / degree, the multiplication first.
inline double share_of(double damping, double score, uint32_t degree) {
  return (damping * score) / static_cast<double>(degree);
}

// The L1 change of an iteration, summed left to right over the nodes while
// the nodes' new scores are still being computed block by block: a block's
// terms are added once every block before it has been, by whichever thread
// completes that prefix. The serial sum then overlaps the parallel work
// instead of following it, and the total is exactly the left-to-right one.
class RunningChange {
 public:
  RunningChange(const double* rank, const double* next, size_t n, size_t block_nodes)
      : rank_(rank), next_(next), nodes_(n), block_nodes_(block_nodes), done_((n + block_nodes - 1) / block_nodes) {}

  size_t block_count() const noexcept { return done_.size(); }

  // Block b's new scores are final.
  void complete(size_t b) {
    std::unique_lock lock(mutex_);
    done_[b] = 1;
    if (carrying_) return;  // the thread carrying the sum will reach b
    carrying_ = true;
    while (summed_ < done_.size() && done_[summed_]) {
      const size_t k = summed_++;
      lock.unlock();
      add_block(k);  // only the carrying thread touches total_
      lock.lock();
    }
    carrying_ = false;
  }

  // The change, once every block has completed.
  double total() const noexcept { return total_; }

 private:
  void add_block(size_t b) noexcept {
    const size_t end = std::min(nodes_, (b + 1) * block_nodes_);
    double sum = total_;
    for (size_t j = b * block_nodes_; j < end; ++j) sum += std::fabs(rank_[j] - next_[j]);
    total_ = sum;
  }

  const double* rank_;
  const double* next_;
  size_t nodes_, block_nodes_;
  std::mutex mutex_;
  std::vector<char> done_;
  size_t summed_ = 0;
  bool carrying_ = false;
  double total_ = 0.0;
};

// Runs compute(begin, end) over the node blocks of `block_nodes` (on the
// pool, or in order here) and returns the L1 change between rank and next,
// which compute fills in.
template <class Compute>
double compute_blocks(bool on_pool, const double* rank, const double* next, size_t n, size_t block_nodes,
                      const Compute& compute) {
  RunningChange change(rank, next, n, block_nodes);
  auto run_block = [&](size_t b) {
    poll_interrupt();
    compute(b * block_nodes, std::min(n, (b + 1) * block_nodes));
    change.complete(b);
  };
  if (on_pool) {
    parallel_for(change.block_count(), 1, run_block);
  } else {
    for (size_t b = 0; b < change.block_count(); ++b) run_block(b);
  }
  return change.total();
}

template <class Index>
UninitializedBuffer<double> iterate_pull(const CsrSnapshot& snap, const Index* runs, double damping,
                                         uint64_t max_iter, double tol, bool& converged) {
  const size_t n = snap.node_count();
  const uint64_t* offsets = snap.offsets.data();
  const uint32_t* degrees = snap.degrees.data();
  const double teleport = (1.0 - damping) / static_cast<double>(n);
  const bool on_pool = snap.entry_count() >= kInlineEntries;
  constexpr size_t kMinChunk = 1024;

  UninitializedBuffer<double> rank(n), next(n), share(n), next_share(n);
  std::fill(rank.data(), rank.data() + n, 1.0 / static_cast<double>(n));
  // share[i] is never read for a node without neighbours: no run lists it.
  for_ranges(on_pool, n, kMinChunk, [&](size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i) share[i] = degrees[i] ? share_of(damping, rank[i], degrees[i]) : 0.0;
  });

  // Blocks that give every thread many of them, so a hub's long run balances.
  const size_t block_nodes = on_pool ? pool_detail::chunk_size_for(n, kMinChunk) : n;
  for (uint64_t iteration = 0; iteration < max_iter; ++iteration) {
    const double* current = share.data();
    double change = compute_blocks(on_pool, rank.data(), next.data(), n, block_nodes, [&](size_t begin, size_t end) {
      for (size_t j = begin; j < end; ++j) {
        double sum = teleport;
        for (uint64_t k = offsets[j]; k < offsets[j + 1]; ++k) sum += current[runs[k]];
        next[j] = sum;
        next_share[j] = degrees[j] ? share_of(damping, sum, degrees[j]) : 0.0;
      }
    });
    poll_interrupt();
    swap(rank, next);
    swap(share, next_share);
    if (change < tol) {
      converged = true;
      break;
    }
  }
  return rank;
}

// The bins of one call: where every source chunk writes in every bin, and
// the destination of every bin entry as an offset into its block.
template <class Index>
class PropagationBins {
 public:
  PropagationBins(const CsrSnapshot& snap, const Index* runs)
      : snap_(snap),
        runs_(runs),
        nodes_(snap.node_count()),
        blocks_((nodes_ + kBlockNodes - 1) >> kBlockBits),
        chunks_((nodes_ + kSourceChunkNodes - 1) / kSourceChunkNodes),
        cursor_start_(chunks_ * blocks_),
        bin_start_(blocks_ + 1),
        destinations_(snap.entry_count()),
        shares_(snap.entry_count()) {
    const uint64_t* offsets = snap.offsets.data();
    // Entries per (chunk, block) ...
    parallel_for(chunks_, 1, [&](size_t c) {
      poll_interrupt();
      uint64_t* counts = cursor_start_.data() + c * blocks_;
      std::fill(counts, counts + blocks_, 0);
      auto [first, last] = chunk_nodes(c);
      for (uint64_t k = offsets[first]; k < offsets[last]; ++k) ++counts[runs[k] >> kBlockBits];
    });
    // ... become start positions: bins in block order, each bin holding the
    // chunks' ranges in chunk (that is, source) order.
    uint64_t at = 0;
    for (size_t b = 0; b < blocks_; ++b) {
      bin_start_[b] = at;
      for (size_t c = 0; c < chunks_; ++c) at += std::exchange(cursor_start_[c * blocks_ + b], at);
    }
    bin_start_[blocks_] = at;
  }

  // One iteration: next[j] from rank for every node j. Returns the L1
  // change between the two.
  double iterate(const double* rank, double* next, double damping, double teleport) {
    if (laid_out_) {
      scatter_shares<false>(rank, damping);
    } else {
      scatter_shares<true>(rank, damping);
      laid_out_ = true;
    }
    const double* shares = shares_.data();
    const uint16_t* destinations = destinations_.data();
    return compute_blocks(true, rank, next, nodes_, kBlockNodes, [&](size_t begin, size_t end) {
      double* block = next + begin;
      std::fill(block, next + end, teleport);
      const size_t b = begin >> kBlockBits;
      for (uint64_t e = bin_start_[b]; e < bin_start_[b + 1]; ++e) block[destinations[e]] += shares[e];
    });
  }

 private:
  static constexpr size_t kLineShares = 8;  // one 64-byte cache line of shares

  struct alignas(64) Line {
    double shares[kLineShares];
  };

  // Writes every source's share into its entries' bins. The bins' current
  // lines are staged in a small array that stays in the L1 cache, and each
  // completed line goes to memory in one non-temporal write: the share
  // array is then written without first being read (a plain store to a line
  // not in the cache reads it in). Lines that the chunk's range of a bin
  // shares with its neighbours' ranges are written entry by entry.
  //
  // The first iteration also lays out the destinations, in the same walk.
  template <bool kLayOut>
  void scatter_shares(const double* rank, double damping) {
    parallel_for(chunks_, 1, [&](size_t c) {
      poll_interrupt();
      scatter_chunk<kLayOut>(c, rank, damping);
    });
  }

  // One source chunk's part of scatter_shares. Everything the loop reads
  // is a local here, so the compiler keeps it in registers instead of
  // reloading it after every store.
  template <bool kLayOut>
  void scatter_chunk(size_t c, const double* rank, double damping) {
    const uint64_t* offsets = snap_.offsets.data();
    const uint32_t* degrees = snap_.degrees.data();
    const Index* runs = runs_;
    double* shares = shares_.data();
    uint16_t* destinations = destinations_.data();
    const uint64_t* start = cursor_start_.data() + c * blocks_;
    std::vector<uint64_t> cursor_store(start, start + blocks_);
    std::vector<Line> staged_store(blocks_);
    uint64_t* cursor = cursor_store.data();
    Line* staged = staged_store.data();
    auto [first, last] = chunk_nodes(c);
    for (size_t i = first; i < last; ++i) {
      const uint64_t begin = offsets[i], end = offsets[i + 1];
      if (begin == end) continue;
      const double share = share_of(damping, rank[i], degrees[i]);
      for (uint64_t k = begin; k < end; ++k) {
        const Index destination = runs[k];
        const size_t b = static_cast<size_t>(destination >> kBlockBits);
        const uint64_t position = cursor[b]++;
        if constexpr (kLayOut) destinations[position] = static_cast<uint16_t>(destination & (kBlockNodes - 1));
        staged[b].shares[position % kLineShares] = share;
        if (position % kLineShares == kLineShares - 1) {
          const uint64_t line = position + 1 - kLineShares;
          if (line >= start[b]) {
            store_line(shares + line, staged[b].shares);
          } else {
            for (uint64_t q = start[b]; q <= position; ++q) shares[q] = staged[b].shares[q % kLineShares];
          }
        }
      }
    }
    for (size_t b = 0; b < blocks_; ++b) {
      const uint64_t end = cursor[b], line = end - end % kLineShares;
      for (uint64_t q = std::max(line, start[b]); q < end; ++q) shares[q] = staged[b].shares[q % kLineShares];
    }
    store_fence();
  }

  std::pair<size_t, size_t> chunk_nodes(size_t c) const {
    return {c * kSourceChunkNodes, std::min(nodes_, (c + 1) * kSourceChunkNodes)};
  }

  const CsrSnapshot& snap_;
  const Index* runs_;
  size_t nodes_, blocks_, chunks_;
  std::vector<uint64_t> cursor_start_;  // [chunk * blocks + block]
  std::vector<uint64_t> bin_start_;
  UninitializedBuffer<uint16_t> destinations_;  // written by the first iteration
  bool laid_out_ = false;
  UninitializedBuffer<double, sizeof(Line)> shares_;
};

template <class Index>
UninitializedBuffer<double> iterate_blocked(const CsrSnapshot& snap, const Index* runs, double damping,
                                            uint64_t max_iter, double tol, bool& converged) {
  const size_t n = snap.node_count();
  const double teleport = (1.0 - damping) / static_cast<double>(n);
  UninitializedBuffer<double> rank(n), next(n);
  std::fill(rank.data(), rank.data() + n, 1.0 / static_cast<double>(n));
  if (max_iter == 0) return rank;

  PropagationBins<Index> bins(snap, runs);
  for (uint64_t iteration = 0; iteration < max_iter; ++iteration) {
    double change = bins.iterate(rank.data(), next.data(), damping, teleport);
    poll_interrupt();
    swap(rank, next);
    if (change < tol) {
      converged = true;
      break;
    }
  }
  return rank;
}

}  // namespace

UninitializedBuffer<double> pagerank(GraphState& graph, double damping, uint64_t max_iter, double tol,
                                     bool* converged) {
  return pagerank(ensure_csr(graph), damping, max_iter, tol, converged);
}

UninitializedBuffer<double> pagerank(const CsrSnapshot& snap, double damping, uint64_t max_iter, double tol,
                                     bool* converged) {
  bool reached = snap.node_count() == 0;
  if (converged) *converged = reached;
  if (reached) return {};
  auto scores = snap.with_neighbor_index([&](const auto* runs) {
    if (snap.node_count() <= kPullNodes) return iterate_pull(snap, runs, damping, max_iter, tol, reached);
    return iterate_blocked(snap, runs, damping, max_iter, tol, reached);
  });
  if (converged) *converged = reached;
  return scores;
}

}  // namespace arborvane
