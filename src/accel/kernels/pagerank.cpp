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
//   The bins take 10 bytes per entry, more than the snapshot's own 4, so
//   they are bounded by a budget: when the iteration's entries do not fit,
//   the sources are taken in waves of consecutive chunks, each wave
//   filling the bins and adding them into the scores before the next (the
//   order of every node's additions stays that of the pull). Then the
//   destinations are laid out again by every walk, and every wave costs a
//   pass over the scores.
//   Memory and time per iteration are linear in nodes plus entries.
//
// Which kernel runs depends on the graph's size and on the memory
// available (bin_entries_for): when not even one wave fits, the pull runs
// on any graph, with two more score arrays and no bins.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <mutex>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "accel/parallel/interrupt.hpp"
#include "accel/kernels/analytics.hpp"
#include "accel/parallel/worker_pool.hpp"
#include "accel/support/platform.hpp"

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

// Bytes of one bin entry: its share and its destination's block offset.
constexpr uint64_t kBinEntryBytes = sizeof(double) + sizeof(uint16_t);

// The bins of one call: where every source chunk writes in every bin, and
// the destination of every bin entry as an offset into its block.
//
// The bins hold at most `wave_entries` entries (but always one source
// chunk's), so the sources are taken in waves of consecutive chunks: each
// wave scatters its sources' shares into the bins and then adds every bin
// into its block of next. Waves run in ascending source order, so every
// node still receives its shares in ascending source order, and its sum is
// the same sequence of additions however many waves there are.
template <class Index>
class PropagationBins {
 public:
  PropagationBins(const CsrSnapshot& snap, const Index* runs, uint64_t wave_entries)
      : snap_(snap),
        runs_(runs),
        nodes_(snap.node_count()),
        blocks_((nodes_ + kBlockNodes - 1) >> kBlockBits),
        chunks_((nodes_ + kSourceChunkNodes - 1) / kSourceChunkNodes),
        cursor_start_(chunks_ * blocks_) {
    const uint64_t* offsets = snap.offsets.data();
    // Entries per (chunk, block) ...
    parallel_for(chunks_, 1, [&](size_t c) {
      poll_interrupt();
      uint64_t* counts = cursor_start_.data() + c * blocks_;
      std::fill(counts, counts + blocks_, 0);
      auto [first, last] = chunk_nodes(c);
      for (uint64_t k = offsets[first]; k < offsets[last]; ++k) ++counts[runs[k] >> kBlockBits];
    });
    // ... cut into waves of chunks ...
    wave_chunk_.push_back(0);
    for (size_t c = 0; c < chunks_; ++c) {
      const uint64_t wave_begin = offsets[chunk_nodes(wave_chunk_.back()).first];
      if (c > wave_chunk_.back() && offsets[chunk_nodes(c).second] - wave_begin > wave_entries) wave_chunk_.push_back(c);
    }
    wave_chunk_.push_back(chunks_);
    // ... and become start positions within their wave's bins: bins in
    // block order, each bin holding its wave's chunks' ranges in chunk
    // (that is, source) order.
    bin_start_.resize(waves() * (blocks_ + 1));
    uint64_t largest = 0;
    for (size_t w = 0; w < waves(); ++w) {
      uint64_t at = 0;
      for (size_t b = 0; b < blocks_; ++b) {
        bin_start_[w * (blocks_ + 1) + b] = at;
        for (size_t c = wave_chunk_[w]; c < wave_chunk_[w + 1]; ++c) at += std::exchange(cursor_start_[c * blocks_ + b], at);
      }
      bin_start_[w * (blocks_ + 1) + blocks_] = at;
      largest = std::max(largest, at);
    }
    destinations_ = UninitializedBuffer<uint16_t>(largest);
    shares_ = UninitializedBuffer<double, sizeof(Line)>(largest);
  }

  size_t waves() const noexcept { return wave_chunk_.size() - 1; }

  // One iteration: next[j] from rank for every node j. Returns the L1
  // change between the two.
  double iterate(const double* rank, double* next, double damping, double teleport) {
    const size_t last = waves() - 1;
    for (size_t w = 0; w < last; ++w) {
      scatter_shares(w, rank, damping);
      parallel_for(blocks_, 1, [&](size_t b) {
        poll_interrupt();
        add_bin(w, b, next, teleport);
      });
    }
    scatter_shares(last, rank, damping);
    return compute_blocks(true, rank, next, nodes_, kBlockNodes,
                          [&](size_t begin, size_t) { add_bin(last, begin >> kBlockBits, next, teleport); });
  }

  // The bytes that bins of `wave_entries` entries take besides the entries
  // themselves: the start positions of every chunk in every bin.
  static uint64_t table_bytes(size_t nodes) noexcept {
    const uint64_t blocks = (nodes + kBlockNodes - 1) >> kBlockBits;
    const uint64_t chunks = (nodes + kSourceChunkNodes - 1) / kSourceChunkNodes;
    return (chunks + 1) * (blocks + 1) * sizeof(uint64_t);
  }

  // The entries of the largest source chunk: the fewest the bins can hold.
  static uint64_t smallest_wave(const CsrSnapshot& snap) noexcept {
    uint64_t largest = 0;
    for (size_t first = 0; first < snap.node_count(); first += kSourceChunkNodes) {
      const size_t last = std::min(snap.node_count(), first + kSourceChunkNodes);
      largest = std::max(largest, snap.offsets[last] - snap.offsets[first]);
    }
    return largest;
  }

 private:
  static constexpr size_t kLineShares = 8;  // one 64-byte cache line of shares

  struct alignas(64) Line {
    double shares[kLineShares];
  };

  // Adds bin b of wave w into block b of next, which the first wave starts
  // at the teleport term.
  void add_bin(size_t w, size_t b, double* next, double teleport) const {
    double* block = next + (b << kBlockBits);
    if (w == 0) std::fill(block, next + std::min(nodes_, (b + 1) << kBlockBits), teleport);
    const double* shares = shares_.data();
    const uint16_t* destinations = destinations_.data();
    const uint64_t* start = bin_start_.data() + w * (blocks_ + 1);
    for (uint64_t e = start[b]; e < start[b + 1]; ++e) block[destinations[e]] += shares[e];
  }

  // Writes the shares of wave w's sources into their entries' bins. One
  // wave's destinations never change, so they are laid out by the first
  // iteration only; with several waves the bins are reused, and every walk
  // lays them out again.
  void scatter_shares(size_t w, const double* rank, double damping) {
    const size_t first = wave_chunk_[w];
    auto walk = [&]<bool kLayOut>() {
      parallel_for(wave_chunk_[w + 1] - first, 1, [&](size_t k) {
        poll_interrupt();
        scatter_chunk<kLayOut>(first + k, rank, damping);
      });
    };
    if (waves() == 1 && laid_out_) {
      walk.template operator()<false>();
    } else {
      walk.template operator()<true>();
      laid_out_ = true;
    }
  }

  // One source chunk's part of scatter_shares. The bins' current lines are
  // staged in a small array that stays in the L1 cache, and each completed
  // line goes to memory in one non-temporal write: the share array is then
  // written without first being read (a plain store to a line not in the
  // cache reads it in). Lines that the chunk's range of a bin shares with
  // its neighbours' ranges are written entry by entry. Everything the loop
  // reads is a local here, so the compiler keeps it in registers instead of
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
  std::vector<uint64_t> cursor_start_;  // [chunk * blocks + block], within the chunk's wave
  std::vector<size_t> wave_chunk_;      // the first chunk of every wave, then chunks_
  std::vector<uint64_t> bin_start_;     // [wave * (blocks + 1) + block]
  UninitializedBuffer<uint16_t> destinations_;
  bool laid_out_ = false;
  UninitializedBuffer<double, sizeof(Line)> shares_;
};

template <class Index>
UninitializedBuffer<double> iterate_blocked(const CsrSnapshot& snap, const Index* runs, double damping,
                                            uint64_t max_iter, double tol, uint64_t wave_entries, bool& converged) {
  const size_t n = snap.node_count();
  const double teleport = (1.0 - damping) / static_cast<double>(n);
  UninitializedBuffer<double> rank(n), next(n);
  std::fill(rank.data(), rank.data() + n, 1.0 / static_cast<double>(n));
  if (max_iter == 0) return rank;

  PropagationBins<Index> bins(snap, runs, wave_entries);
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

// Which kernel runs, and how many entries the propagation-blocking bins
// hold; 0 entries: the pull.
//
// The bins hold the whole iteration's entries when they fit the budget:
// kBinBudgetBytes, or kBinBytesPerNode per node on larger graphs. Beyond
// that the sources go in waves, and each wave costs a pass over the scores
// (16 bytes per node read and written) besides the entries' own traffic,
// so a budget in proportion to the nodes bounds that overhead: about
// 8 n / budget of an iteration's time. Measured at 4M nodes / 40M edges
// (80M entries, 800 MB of bins in one wave; 2 threads of a 2-core EPYC
// shared with other jobs, load 15-20; CPU time per iteration, median of
// 3; bytes the call added per edge): one wave 399 ms, 21.6 B; 128 MiB
// (6 waves) 506 ms, 4.9 B; 64 MiB (12 waves) 537 ms, 2.9 B; 32 MiB
// 594 ms, 2.3 B; the pull 556 ms, 3.2 B. 64 MiB keeps PageRank below the
// triangle count's peak there, for a third more time than one wave.
//
// The budget shrinks to the memory available (platform::available_memory)
// beside the two score arrays and the bin table; when not even the largest
// source chunk's entries fit, the pull runs, which needs two score arrays
// more and no bins.
//
// ARBORVANE_PAGERANK_BIN_BYTES, when set, replaces the budget and applies
// to graphs of any size (0: the pull), so that tests can make small graphs
// run in many waves or fall back. It is read once, at the first PageRank of
// the process (a function-local static: thread-safe), not on every call.
constexpr uint64_t kBinBudgetBytes = uint64_t{64} << 20;
constexpr uint64_t kBinBytesPerNode = 16;

std::optional<uint64_t> forced_bin_bytes() {
  static const std::optional<uint64_t> forced = []() -> std::optional<uint64_t> {
    const char* text = std::getenv("ARBORVANE_PAGERANK_BIN_BYTES");
    if (!text) return std::nullopt;
    return std::strtoull(text, nullptr, 10);
  }();
  return forced;
}

uint64_t bin_entries_for(const CsrSnapshot& snap) {
  const size_t n = snap.node_count();
  uint64_t budget = std::max(kBinBudgetBytes, kBinBytesPerNode * n);
  if (const auto forced = forced_bin_bytes()) {
    budget = *forced;
  } else if (n <= kPullNodes) {
    return 0;
  }
  if (auto available = platform::available_memory()) {
    const uint64_t scores = 2 * sizeof(double) * static_cast<uint64_t>(n);
    const uint64_t fixed = scores + PropagationBins<uint32_t>::table_bytes(n);
    budget = std::min(budget, *available > fixed ? *available - fixed : 0);
  }
  const uint64_t entries = budget / kBinEntryBytes;
  return entries >= std::max<uint64_t>(1, PropagationBins<uint32_t>::smallest_wave(snap)) ? entries : 0;
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
  const uint64_t bin_entries = bin_entries_for(snap);
  auto scores = snap.with_neighbor_index([&](const auto* runs) {
    if (bin_entries > 0) {
      try {
        return iterate_blocked(snap, runs, damping, max_iter, tol, bin_entries, reached);
      } catch (const std::bad_alloc&) {
        // The bins did not fit after all: the pull needs none.
      }
    }
    return iterate_pull(snap, runs, damping, max_iter, tol, reached);
  });
  if (converged) *converged = reached;
  return scores;
}

}  // namespace arborvane
