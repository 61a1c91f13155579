// Community detection: Louvain, Leiden and label propagation.
//
// Requires the CSR snapshot (index runs).
//
// All three move nodes between communities to raise a score, level by
// level. A node's weighted degree k(v) counts a self-loop twice, the way
// NetworkX counts degrees, and 2m is the sum of the degrees. Moving v into
// community c gains, up to the positive factor 1 / (2m^2),
//   2m k(v, c) - resolution k(v) tot(c)
// where k(v, c) is the weight of v's edges into c and tot(c) the degrees of
// c's members (v itself left out). Louvain and Leiden maximise modularity
// that way; label propagation is the same moving with resolution 0 (the
// most common neighbouring label wins) on the input graph alone.
//
// The trick, for the same result on any number of threads: a pass's nodes
// are dealt into kRounds sub-rounds by a seeded hash, afresh each pass.
// Within a sub-round every node picks its best community against the state
// at the start of the sub-round, in parallel, and then all the moves are
// applied. With integer weights (edge counts) the community totals,
// updated with atomic adds, come out the same whatever order the adds ran
// in; float weights (an arborvane.Graph's) would not, so their moves are
// applied in a fixed order on one thread (the decisions, the bulk of the
// work, stay parallel). Staying wins a tie, other ties go by a seeded hash
// of node and community. The state after each sub-round is therefore a
// function of the seed and the graph alone. The sub-rounds make the moving
// nearly sequential: two neighbours decide at the same time only when they
// share a sub-round (1 in kRounds), and then only the larger of two lone
// nodes joins the other.
//
// Only nodes with a neighbour that moved since their last visit are visited
// again (the others would stay). Aggregation builds the next level's
// weighted graph one community per task, with each community's members in
// ascending index order, so its layout too is fixed.
#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>

#include "accel/csr_graph/csr_graph.hpp"
#include "accel/kernels/analytics.hpp"
#include "accel/parallel/concurrent_union_find.hpp"
#include "accel/parallel/interrupt.hpp"
#include "accel/parallel/worker_pool.hpp"
#include "accel/snapshot/id_order.hpp"
#include "accel/snapshot/run_prefetch.hpp"
#include "accel/support/splitmix64.hpp"
#include "accel/support/uninitialized_buffer.hpp"

namespace arborvane {

namespace {

// Sub-rounds per pass. Two neighbours decide together with probability
// 1 / kRounds; a sub-round is two hand-overs to the pool. On the small
// benchmark graphs (10,000 nodes / 50,000 edges, uniform and power-law)
// 1024 sub-rounds gave the modularity of 64 within the spread between seeds.
constexpr size_t kRounds = 64;
// Passes over a level at most (each visits only the nodes next to a move);
// on the power-law 200,000 / 2,000,000 graph no level needed more than 16
// once each pass dealt its own sub-rounds (before: 64, ended by this cap).
constexpr size_t kMaxPasses = 64;
// A level is settled when a pass moves at most 1 in kSettledFraction of its
// nodes: the last moves gain little. On the medium G(n, m) graph (200,000 /
// 2,000,000) 1000 gave 0.0013 more modularity than 100 for 16% more time.
constexpr size_t kSettledFraction = 1000;
// An aggregated level is settled, too, when a pass gains less than
// 1 / `gain` of the level's gain so far and less than the pass before it
// (gains as estimated when deciding), but only once the level has had a
// pass gain more than the one before, or has run `wait_passes` passes. On
// G(n, m) graphs a level where the communities coalesce runs a long tail of
// passes that each move a few hundred nodes but revisit nearly all (40
// passes on the 200,000 / 2,000,000 graph): the gain rule cuts that tail.
struct Settling {
  double gain;
  size_t wait_passes;
};
// Without weights: 1 / 100 from the first pass. It cut Leiden's time on the
// 200,000 / 2,000,000 G(n, m) graph by 23% for modularity -0.0024. On the
// 1,000,000 / 10,000,000 one (1 thread, seeds 1 to 3, mean modularity)
// waiting as with weights below lost modularity: Louvain 0.2028 against
// 0.2010 (1 / 20 without waiting: 0.1994; 1 / 200: 0.2046), Leiden 0.2040
// against 0.2033 (0.2026; 0.2012), in 8% less time than waiting; the
// power-law graph of that size kept its modularity either way.
constexpr Settling kSettledUnweighted{100, 1};
// With weights the coalescing comes late: the level's gains first fall for
// 3 to 8 passes (1 / 100 to 1 / 600 of the level's gain each), then rise
// again for a wave of merging that more than doubles the level's gain.
// Settling in that dip lost the wave (weighted Louvain, uniform weights in
// [0, 1), 200,000 / 2,000,000, 1 thread, seeds 1 to 3: modularity 0.2253,
// against 0.2475 without the rule for 75% more time; NetworKit PLM 0.2282).
// Waiting for the rise, or 8 passes (the latest rise seen was the 8th
// pass), then settling at the first falling pass under 1 / 20, just past
// the wave's peak, gave 0.2366 for about 15% more time, still less than
// PLM's; 1 / 50 gave 0.2405 for about 25% more, 1 / 10 0.2334. The power-law
// graph of that size kept its modularity (0.1861 to 0.1864).
constexpr Settling kSettledWeighted{20, 8};
// The input graph's level of Louvain and Leiden is spared the gain rule: it
// kept its modularity (1,000,000 / 10,000,000: 0.2010, 0.2013 without it).
constexpr Settling kNeverSettled{HUGE_VAL, 0};
// Leiden's refined levels end once a level's moving moves nodes but gains
// less than 1 in kSmallLevelGain of what the iteration has gained so far
// (the levels after it aggregate whole communities): further refined
// levels move a few refined communities each while refining and
// aggregating everything again (on the 200,000 / 2,000,000 G(n, m) graph
// three to four more levels per iteration gained 4e-6 in all). Measured
// with the final moving below (Leiden, 1 thread, CPU time, seeds 1 to 5):
// on that graph 3.65 to 3.21 s for a mean modularity of 0.2074 to 0.2073,
// on the power-law graph of that size 2.29 to 2.13 s, modularity 0.1638
// either way; 100 was no faster within the noise and lost a little more.
constexpr double kSmallLevelGain = 1000;
// Label propagation stops after this many passes even if labels still
// change (a few nodes can keep alternating between equally common labels).
constexpr size_t kMaxLabelPasses = 100;
// Smallest level moved by blocks (BlockMoving): a small level's blocks are
// small, and more of its neighbours lie in other blocks. On the road grid
// in id order (Louvain, 1 thread, iterations 1, 1.15 s with blocks on the
// input level only; measured with each block's nodes in plain ascending
// order) blocks on every level lost 0.0011 modularity for 1.00 s; on levels
// of 100,000 nodes or more (the first aggregate) none, 1.03 s.
constexpr size_t kMinBlockNodes = 100000;
// Blocks a pass of the block moving cuts a level into, each a range of
// consecutive nodes that one worker visits in order. On the hyperbolic
// graph in id order 256, 1,024 or 4,096 blocks were no faster than 64;
// a pass needs several blocks per worker thread to share them out evenly.
constexpr size_t kBlocks = 64;
// Smallest ranges a worker claims. Measured with 2 threads on the
// power-law 200,000 / 2,000,000 graph (Leiden, load average 22 on 2 cores):
// no value moved the time beyond the spread of repeated runs of one value
// (CPU 1.8 to 2.4 s, wall 4.4 to 12.6 s), so each stays where it was.
// Summing each node's weight into its own community (the refinement's
// first loop) reads all its edges: 64, 256, 1024 and 4096 gave 2.1, 2.3,
// 2.4 and 2.2 CPU seconds (measured when the moving's ranges used it too).
constexpr size_t kMinDecidePerRange = 256;
// Where a loop visits a level's nodes by sub-round or by group, its ranges
// hold about equal work (a node's entries plus one: a skewed graph's hubs
// cost thousands of times a leaf), and at least this much, about the 256
// nodes above at the benchmark graphs' 21 a node. Before, a late pass's
// sub-round of a few hundred nodes, hubs among them, ran on one thread: on
// the power-law 1,000,000 / 10,000,000 graph (Leiden, 2 threads, two runs
// each, interleaved) the passes visiting under 100,000 nodes took 0.85 to
// 1.09 s instead of 1.19 to 1.34 (in a slower hour 1.59 to 1.68 instead of
// 2.04 to 2.40), the rest of the run within the noise.
constexpr uint64_t kMinDecideWork = 4096;
// Applying a move updates four totals and marks the node's neighbours:
// 256, 1024 and 4096 gave 1.9, 1.8 and 1.9 CPU seconds.
constexpr size_t kMinApplyPerRange = 1024;
// A plain per-node step (numbering, copying labels): 1024, 4096 and 16384
// gave 2.0, 2.4 and 2.1 CPU seconds.
constexpr size_t kMinNodesPerRange = 4096;

// ---- weights -------------------------------------------------------------------

// Integer weights (edge counts) sum to the same value in any order, so
// their totals may be updated by concurrent atomic adds; float weights do
// not, so their totals are updated in a fixed order on one thread.
template <class W>
constexpr bool kOrderFree = std::is_integral_v<W>;

template <class T>
void atomic_add(T& slot, T delta) noexcept {
  std::atomic_ref<T>(slot).fetch_add(delta, std::memory_order_relaxed);
}

// slot += delta for a loop run by in_fixed_order<W>.
template <class W, class T>
void accumulate(T& slot, T delta) noexcept {
  if constexpr (kOrderFree<W>) {
    atomic_add(slot, delta);
  } else {
    slot += delta;
  }
}

// The sum of f(i) over [0, n), f updating totals with accumulate<W>: in
// parallel for integer weights, in ascending i on the calling thread for
// float weights (which keeps the bits of every total).
template <class W, class F>
uint64_t in_fixed_order(size_t n, size_t min_chunk, const F& f) {
  if constexpr (kOrderFree<W>) {
    return parallel_sum(n, min_chunk, f);
  } else {
    uint64_t sum = 0;
    for (size_t i = 0; i < n; ++i) {
      poll_interrupt_every(i);
      sum += f(i);
    }
    return sum;
  }
}

// ---- graphs ----------------------------------------------------------------

// Level 0 of an IntGraphCore: the snapshot's runs, each edge of weight 1
// and a self-loop of weight 2 (a loop adds 2 to its node's degree).
template <class Index>
struct SnapshotGraph {
  using Node = Index;
  using Weight = uint64_t;
  const uint64_t* offsets;
  const Index* runs;
  size_t n;
  bool local = false;  // numbered in ascending id order, the ids local (id_order.hpp)

  size_t node_count() const noexcept { return n; }
  bool weighted() const noexcept { return false; }
  uint64_t entries(size_t v) const noexcept { return offsets[v + 1] - offsets[v]; }
  template <class F>
  void for_each(size_t v, F&& f) const {
    for (uint64_t k = offsets[v]; k < offsets[v + 1]; ++k) f(runs[k], runs[k] == v ? uint64_t{2} : uint64_t{1});
  }
  // Reads a list of nodes' runs, and their neighbours' communities (one
  // Index per node), ahead of the visits (run_prefetch.hpp). Leiden, 1
  // thread, this build and the one before at once on the two cores: 15%
  // faster on the 1,000,000-node hyperbolic graph in id order, 10% on the
  // power-law 1,000,000 / 10,000,000 graph, 16% on the G(n, m) one (two
  // runs each); Louvain on the hyperbolic graph 21%. On an arborvane.Graph
  // (RowsGraph) with weights in [0, 1): weighted Louvain on the G(n, m)
  // graph 16%, Leiden on the power-law one 10%.
  RunPrefetch<Index> read_ahead() const noexcept { return {offsets, runs, n * sizeof(Index)}; }
};

// Level 0 of an undirected arborvane.Graph: its rows (every edge in both,
// a self-loop once, counted twice as in the snapshot) with float32,
// float64 or unit weights. `Stored` is the rows' signed index type, Index
// its unsigned twin.
template <class Index, class Stored>
struct RowsGraph {
  using Node = Index;
  using Weight = double;
  const int64_t* indptr;
  const Stored* indices;
  const float* weights32;   // one of the two, or neither (every weight 1)
  const double* weights64;
  size_t n;

  size_t node_count() const noexcept { return n; }
  bool weighted() const noexcept { return weights32 || weights64; }
  uint64_t entries(size_t v) const noexcept { return static_cast<uint64_t>(indptr[v + 1] - indptr[v]); }
  double weight(int64_t k) const noexcept {
    return weights64 ? weights64[k] : weights32 ? static_cast<double>(weights32[k]) : 1.0;
  }
  // As SnapshotGraph's: the rows' offsets and indices read as their
  // unsigned twins (all of them non-negative).
  RunPrefetch<Index> read_ahead() const noexcept {
    return {reinterpret_cast<const uint64_t*>(indptr), reinterpret_cast<const Index*>(indices), n * sizeof(Index)};
  }
  template <class F>
  void for_each(size_t v, F&& f) const {
    for (int64_t k = indptr[v]; k < indptr[v + 1]; ++k) {
      const Index w = static_cast<Index>(indices[k]);
      f(w, w == v ? 2 * weight(k) : weight(k));
    }
  }
};

// Faults in a fresh buffer's pages on all threads. Faulting is most of the
// cost of a large buffer's first use: the two of an aggregated level of the
// power-law 1,000,000 / 10,000,000 graph (240 MB) took 0.53 s faulted on
// one thread as they were allocated, 0.25 s on two; faulted by the loop
// that fills them as it wrote, its time grew by 0.4 to 0.9 s.
template <class T>
void fault_in_parallel(UninitializedBuffer<T>& buffer) {
  char* bytes = reinterpret_cast<char*>(buffer.data());
  const size_t pages = (buffer.size() * sizeof(T) + kHugePageBytes - 1) / kHugePageBytes;
  parallel_for(pages, 1, [bytes](size_t page) { static_cast<volatile char*>(bytes)[page * kHugePageBytes] = 0; });
}

// Room for the entries of one aggregated level. A run keeps two and its
// levels alternate between them (a level's graph is read from one while
// the next level is written into the other), so their pages are faulted in
// once per run rather than allocated and zero-filled for every level.
template <class Index, class W>
struct EntryStore {
  UninitializedBuffer<Index> targets;
  UninitializedBuffer<W> weights;

  void reserve(size_t entries) {
    if (targets.size() >= entries) return;
    targets = {};
    weights = {};
    targets = UninitializedBuffer<Index>(entries, FaultWhenWritten{});
    weights = UninitializedBuffer<W>(entries, FaultWhenWritten{});
    fault_in_parallel(targets);
    fault_in_parallel(weights);
  }
};

// An aggregated level: node x is a community of the level below; the weight
// between x and y is the weight of the edges between the two communities,
// and x's own entry (its loop) the weights inside x, each edge counted from
// both ends (so degrees are preserved). x's entries lie at [start[x],
// stop[x]) of an EntryStore, with unused room after them.
template <class Index, class W>
struct WeightedGraph {
  using Weight = W;
  std::vector<uint64_t> start;
  std::vector<uint64_t> stop;
  const Index* targets;
  const W* weights;

  size_t node_count() const noexcept { return start.size(); }
  uint64_t entries(size_t v) const noexcept { return stop[v] - start[v]; }
  template <class F>
  void for_each(size_t v, F&& f) const {
    for (uint64_t k = start[v]; k < stop[v]; ++k) f(targets[k], weights[k]);
  }
  // Read ahead as the input graph is: on a road-like grid the first
  // aggregated level still has 44% of the input's nodes.
  RunPrefetch<Index> read_ahead() const noexcept {
    return {start.data(), stop.data(), targets, node_count() * sizeof(Index)};
  }
};

// Weights summed by community for one node (or one group of nodes): a
// dense slot per community index, the sums kept in the order their
// communities were first met, and cleared through the communities met.
// Dense slots replace hashing: on the power-law 200,000 / 2,000,000 graph
// the hashed table's inserts were 27% of Leiden's cycles.
template <class Index, class W>
class WeightTable {
 public:
  explicit WeightTable(size_t keys) : slot_(vector_polling<Index>(keys, kEmpty)) {}

  void add(Index key, W weight) {
    Index& slot = slot_[key];
    if (slot == kEmpty) {
      slot = static_cast<Index>(keys_.size());
      keys_.push_back(key);
      sums_.push_back(weight);
    } else {
      sums_[slot] += weight;
    }
  }

  // add(key(w), weight) for every entry (w, weight) of node v of `graph`
  // with keep(w), in entry order. The keys of up to kReadAhead entries are
  // read first, each read starting the fetch of its slot, and added
  // afterwards: the reads are independent and overlap, where adding each as
  // it is read waits for the slot's miss, and a mispredicted new-key branch
  // stalls the reads behind it. Leiden, 1 thread, the build before and this
  // one at once on the two cores (same labels): the power-law 200,000 /
  // 2,000,000 graph 7% faster (four rounds of three runs), the power-law
  // 1,000,000 / 10,000,000 one 0 to 8% (four runs), the G(n, m) one of that
  // size 0 and 13%; Louvain there 1 and 3% slower (two runs), within what
  // one run in such a pair varies.
  template <class Graph, class Key, class Keep>
  void add_entries(const Graph& graph, size_t v, const Key& key, const Keep& keep) {
    static constexpr size_t kReadAhead = 256;
    auto add_pending = [this] {
      for (const auto& [k, weight] : pending_) add(k, weight);
      pending_.clear();
    };
    graph.for_each(v, [&](Index w, W weight) {
      if (!keep(w)) return;
      const Index k = key(w);
      __builtin_prefetch(&slot_[k]);
      pending_.push_back({k, weight});
      if (pending_.size() == kReadAhead) add_pending();
    });
    add_pending();
  }

  W get(Index key) const noexcept { return slot_[key] == kEmpty ? W{} : sums_[slot_[key]]; }

  size_t size() const noexcept { return keys_.size(); }

  // f(key, weight) for every key, in the order first added.
  template <class F>
  void for_each(F&& f) const {
    for (size_t i = 0; i < keys_.size(); ++i) f(keys_[i], sums_[i]);
  }

  void clear() noexcept {
    for (Index key : keys_) slot_[key] = kEmpty;
    keys_.clear();
    sums_.clear();
  }

 private:
  static constexpr Index kEmpty = static_cast<Index>(-1);
  std::vector<Index> slot_;
  std::vector<Index> keys_;
  std::vector<W> sums_;
  std::vector<std::pair<Index, W>> pending_;  // add_entries' keys, read ahead
};

// The tables of a run's levels, lent to one range of work at a time: at
// most one per worker thread is ever made, and all are freed with the run.
template <class Index, class W>
class TablePool {
 public:
  explicit TablePool(size_t keys) : keys_(keys) {}

  // f(table) with an empty table, which f leaves empty.
  template <class F>
  void with_table(F&& f) {
    std::unique_ptr<WeightTable<Index, W>> table;
    {
      std::lock_guard lock(mutex_);
      if (!free_.empty()) {
        table = std::move(free_.back());
        free_.pop_back();
      }
    }
    if (!table) table = std::make_unique<WeightTable<Index, W>>(keys_);
    f(*table);
    std::lock_guard lock(mutex_);
    free_.push_back(std::move(table));
  }

 private:
  size_t keys_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<WeightTable<Index, W>>> free_;
};

// ---- one level -----------------------------------------------------------------

// Nodes dealt into kRounds sub-rounds, ascending index within each, with
// the work of visiting them (their entries plus one) summed along the order
// for ranges of equal work (parallel_for_weighted_ranges).
template <class Index>
struct Dealing {
  std::vector<Index> order;
  std::vector<size_t> start;  // kRounds + 1 bounds into order
  std::vector<uint64_t> work;  // work[i]: the work of order[0, i)

  explicit Dealing(size_t n)
      : order(vector_polling<Index>(n)), start(kRounds + 1), work(vector_polling<uint64_t>(n + 1)) {}

  // Deals the nodes v in [0, n) with take(v), each into sub-round round(v).
  template <class Graph, class Take, class Round>
  void deal(const Graph& graph, const Take& take, const Round& round) {
    const size_t n = graph.node_count();
    std::fill(start.begin(), start.end(), 0);
    for (size_t v = 0; v < n; ++v) {
      poll_interrupt_every(v, 65536);
      if (take(v)) ++start[round(v) + 1];
    }
    for (size_t r = 0; r + 1 < start.size(); ++r) start[r + 1] += start[r];
    std::vector<size_t> next(start.begin(), start.end() - 1);
    for (size_t v = 0; v < n; ++v) {
      poll_interrupt_every(v, 65536);
      if (!take(v)) continue;
      const size_t at = next[round(v)]++;
      order[at] = static_cast<Index>(v);
      work[at + 1] = graph.entries(v) + 1;
    }
    work[0] = 0;
    for (size_t i = 0; i < start.back(); ++i) work[i + 1] += work[i];
  }

  // f(begin, end) over ranges of sub-round r's positions in `order`
  // (relative to start[r]), in parallel, by equal work.
  template <class F>
  void for_round(size_t r, const F& f) const {
    parallel_for_weighted_ranges(start[r + 1] - start[r], work.data() + start[r], kMinDecideWork, f);
  }
};

// The order in which Leiden's refinement visits a level's nodes (once
// each): dealt into kRounds sub-rounds by hash(seed, level, node).
// `key` also seeds the moving's dealings.
template <class Index>
struct Schedule {
  uint64_t key;  // drawn from the seed and the level
  std::vector<uint16_t> round_of;  // each node's sub-round
  Dealing<Index> dealing;

  template <class Graph>
  Schedule(const Graph& graph, uint64_t seed, uint64_t level)
      : key(SplitMix64::mix(seed ^ SplitMix64::mix(level + SplitMix64::kIncrement))),
        round_of(vector_polling<uint16_t>(graph.node_count())), dealing(graph.node_count()) {
    parallel_for(graph.node_count(), kMinNodesPerRange, [&](size_t v) {
      round_of[v] = static_cast<uint16_t>(SplitMix64::mix(key + v) % kRounds);
    });
    dealing.deal(graph, [](size_t) { return true; }, [this](size_t v) { return size_t{round_of[v]}; });
  }
};

// Communities of one level's nodes with their totals and sizes.
template <class Index, class W>
struct Partition {
  std::vector<Index> community;  // per node, a community index in [0, n)
  std::vector<W> total;          // per community: the degrees of its members
  std::vector<Index> size;       // per community: its members

  Partition(std::vector<Index> initial, const std::vector<W>& degree)
      : community(std::move(initial)),
        total(vector_polling<W>(community.size())),
        size(vector_polling<Index>(community.size())) {
    in_fixed_order<W>(community.size(), kMinNodesPerRange, [&](size_t v) -> uint64_t {
      accumulate<W>(total[community[v]], degree[v]);
      accumulate<W>(size[community[v]], Index{1});
      return 0;
    });
  }
};

// What a level's passes share: its graph, degrees, 2m and tables.
template <class Index, class Graph>
struct Level {
  using W = typename Graph::Weight;
  const Graph& graph;
  const std::vector<W>& degree;
  double two_m;
  const Schedule<Index>& schedule;
  TablePool<Index, W>& tables;
  bool isolating = false;  // a node may also leave for an empty community (Leiden)
  bool in_blocks = false;  // moved block by block (BlockMoving), not by sub-round
  bool by_degree = false;  // the first pass deals the nodes by degree (degree_rounds)
};

// What a level's moving did: its moves and their gain (as estimated when
// deciding, in units of 1 / (2m^2)).
struct Moves {
  uint64_t moved;
  double gain;
};

// Node v's best community, its entries summed by community in `weights`,
// the communities' totals and sizes read through total_of and size_of.
// Returns the community and the gain of moving there over staying (0 to
// stay). deciding_now(c): whether the node of index c may be deciding at
// the same time as v, against the same state; free(c): whether community c
// is empty and no other node can join it while v decides.
template <class Index, class Graph, class TotalOf, class SizeOf, class DecidingNow, class Free>
std::pair<Index, double> best_community(const Level<Index, Graph>& level, double resolution, size_t pass, Index v,
                                        Index own, const WeightTable<Index, typename Graph::Weight>& weights,
                                        const TotalOf& total_of, const SizeOf& size_of,
                                        const DecidingNow& deciding_now, const Free& free) {
  const double kv = static_cast<double>(level.degree[v]);
  const double two_m = level.two_m;
  Index best = own;
  const double stay_score = two_m * static_cast<double>(weights.get(own)) -
                            resolution * kv * static_cast<double>(total_of(own) - level.degree[v]);
  double best_score = stay_score;
  const bool alone = size_of(own) == 1;
  // Equal gains go to the community of smaller rank, a hash of the node,
  // the pass and the community: a fixed choice, but not one that favours
  // small indices everywhere (which would let the first labels flood the
  // graph when every gain is equal, as at the start of label propagation).
  const uint64_t salt = SplitMix64::mix(level.schedule.key + pass * SplitMix64::kIncrement + v);
  auto rank = [salt](Index c) { return SplitMix64::mix(salt ^ c); };
  weights.for_each([&](Index c, typename Graph::Weight weight) {
    // Two lone nodes deciding at once would swap places: only the larger
    // joins the smaller.
    if (c == own || (alone && size_of(c) == 1 && c > own && deciding_now(c))) return;
    const double score = two_m * static_cast<double>(weight) - resolution * kv * static_cast<double>(total_of(c));
    if (score > best_score || (score == best_score && best != own && rank(c) < rank(best))) {
      best = c;
      best_score = score;
    }
  });
  // Alone in a new community a node scores 0. Its own index names that
  // community, when free. Leiden only: on the LFR graphs of 1,000
  // nodes (100 each) it raised the NMI with the planted partition from
  // 0.9810 to 0.9821 at mu 0.3 and from 0.9188 to 0.9213 at mu 0.4, the
  // modularity within 0.0001.
  if (level.isolating && !alone && best_score < 0 && free(v)) {
    best = v;
    best_score = 0;
  }
  return {best, best_score - stay_score};
}

// The changes of community totals and sizes that one block keeps to
// itself until its end, by community: an open-addressing table, as a
// block's moves change at most two communities each. Dense per-community
// arrays would take 12 bytes per node per worker thread; at most
// kBlockChangeSlots slots per block node, 16 bytes each, take 1.
template <class Index, class W>
class BlockChanges {
 public:
  // Room for the changes of a block of up to `nodes` nodes.
  explicit BlockChanges(size_t nodes)
      : slots_(std::bit_ceil(std::max<size_t>(kBlockChangeSlots * nodes, 2))),
        shift_(64 - std::countr_zero(slots_.size())) {
    for (Slot& slot : slots_) slot.key = kEmpty;
  }

  W total(Index c) const noexcept { return find(c).total; }
  Index size(Index c) const noexcept { return find(c).size; }

  void add(Index c, W delta_total, Index delta_size) {
    size_t at = home(c);
    while (slots_[at].key != c && slots_[at].key != kEmpty) at = (at + 1) & (slots_.size() - 1);
    Slot& slot = slots_[at];
    if (slot.key == kEmpty) {
      slot = {c, Index{}, W{}};
      used_.push_back(at);
    }
    slot.total += delta_total;
    slot.size += delta_size;
  }

  // f(c, total, size) for every community changed; then empty.
  template <class F>
  void drain(const F& f) {
    for (size_t at : used_) {
      f(slots_[at].key, slots_[at].total, slots_[at].size);
      slots_[at].key = kEmpty;
    }
    used_.clear();
  }

 private:
  // Two per move, at most one move per node and pass, and the table kept
  // at most half full.
  static constexpr size_t kBlockChangeSlots = 4;
  static constexpr Index kEmpty = static_cast<Index>(-1);
  struct Slot {
    Index key;
    Index size;  // wrapping, as the sizes' atomic adds
    W total;
  };

  size_t home(Index c) const noexcept { return static_cast<size_t>((uint64_t{c} * 0x9E3779B97F4A7C15ull) >> shift_); }

  Slot find(Index c) const noexcept {
    for (size_t at = home(c);; at = (at + 1) & (slots_.size() - 1)) {
      if (slots_[at].key == c) return slots_[at];
      if (slots_[at].key == kEmpty) return {c, Index{}, W{}};
    }
  }

  std::vector<Slot> slots_;
  int shift_;
  std::vector<size_t> used_;
};

// The moving of a graph whose neighbours lie at nearby indices (the input
// graph in id order with local ids, and its larger aggregates), block by
// block: a pass cuts the nodes into kBlocks blocks of consecutive indices,
// visits the blocks in parallel and each block's nodes one after the
// other, every move applied at once. Within a block the nodes go by
// sub-round (dealt as for the sub-round moving, by each block for its own
// nodes, so that the dealing runs in parallel too), ascending within each: in
// plain ascending order the communities of a ring-like graph grew along
// the ring, each node joining its predecessors' (on a 1,000,000-node ring
// lattice of 10 neighbours a node, 10% of the edges rewired, Louvain ended
// with 69 communities and modularity 0.88632 against the sub-rounds' 710
// and 0.89765; by sub-round within the blocks 717 and 0.89766). A node reads the
// state as its block has left it for the block's nodes and the
// communities' totals, and as it was at the start of the pass for other
// blocks' nodes: the state is a function of the seed and the graph alone,
// as with sub-rounds, and with local ids nearly every neighbour lies in
// the node's own block, so the moving is nearly sequential. It also reads
// its neighbours' state from nearby cache lines, where a sub-round's nodes
// lie scattered over the graph. Every other pass shifts the blocks by half
// a block, so that no pair of nodes across a border keeps trading
// communities (on the road grid before the shift, 14,500 nodes did so in
// every pass until the pass limit). Integer weights only: the blocks'
// changes of the totals are added at their end, in any order.
//
// A first call, 1 thread, median of three, sub-rounds against blocks: on
// the 1,000,000-node hyperbolic graph in id order Louvain 4.12 against
// 3.53 s (modularity 0.96045 against 0.96037), Leiden 6.64 against 6.12 s;
// on a 1,000 x 1,000 road-like grid in row order Louvain 1.72 against 1.26
// s, Leiden 3.25 against 2.71 s, the modularity within 0.0001. Plain
// ascending order within the blocks took 2.68 s on the hyperbolic graph.
template <class Index, class W>
class BlockMoving {
 public:
  explicit BlockMoving(size_t n)
      : community_(vector_polling<Index>(n)),
        total_(vector_polling<W>(n)),
        size_(vector_polling<Index>(n)),
        order_(vector_polling<Index>(n)),
        marked_(vector_polling<uint8_t>(n)) {}

  // One pass over the nodes marked in `active`, each block dealing its own
  // nodes into sub-rounds by round_of(v). Nodes next to a move are marked
  // for the next pass, which `active` then holds; the marks read are
  // cleared. Returns the moves and their gain.
  template <class Graph, class RoundOf>
  Moves run_pass(const Level<Index, Graph>& level, double resolution, size_t pass, Partition<Index, W>& part,
                 const RoundOf& round_of, std::vector<uint8_t>& active) {
    const Graph& graph = level.graph;
    const size_t n = graph.node_count();
    parallel_for_ranges(n, kMinNodesPerRange, [&](size_t begin, size_t end) {
      std::copy(part.community.begin() + begin, part.community.begin() + end, community_.begin() + begin);
      std::copy(part.total.begin() + begin, part.total.begin() + end, total_.begin() + begin);
      std::copy(part.size.begin() + begin, part.size.begin() + end, size_.begin() + begin);
    });
    std::array<Moves, kBlocks> moves{};
    parallel_for_ranges(kBlocks, 1, [&](size_t first, size_t last) {
      std::unique_ptr<BlockChanges<Index, W>> changes = take_changes(n / kBlocks + 1);
      for (size_t b = first; b < last; ++b) {
        moves[b] = block(level, resolution, pass, part, round_of, active, b, *changes);
      }
      std::lock_guard lock(mutex_);
      free_.push_back(std::move(changes));
    });
    // Summed in block order, so the stopping point is the same on any
    // number of threads.
    Moves all{0, 0};
    for (const Moves& m : moves) {
      all.moved += m.moved;
      all.gain += m.gain;
    }
    active.swap(marked_);
    return all;
  }

 private:
  static size_t shifted(size_t v, size_t n, size_t pass) {
    const size_t at = v + (pass % 2) * (n / (2 * kBlocks));
    return at >= n ? at - n : at;
  }

  std::unique_ptr<BlockChanges<Index, W>> take_changes(size_t block_nodes) {
    {
      std::lock_guard lock(mutex_);
      if (!free_.empty()) {
        std::unique_ptr<BlockChanges<Index, W>> changes = std::move(free_.back());
        free_.pop_back();
        return changes;
      }
    }
    return std::make_unique<BlockChanges<Index, W>>(block_nodes);
  }

  // f(v) for the nodes v of block b, whose shifted indices are [lo, hi),
  // in ascending order (only the first block can wrap around the end).
  template <class F>
  static void for_block_nodes(size_t n, size_t pass, size_t lo, size_t hi, const F& f) {
    const size_t shift = shifted(0, n, pass);
    auto run = [&f](size_t begin, size_t end) {
      for (size_t v = begin; v < end; ++v) f(v);
    };
    if (lo >= shift) {
      run(lo - shift, hi - shift);
    } else {
      run(0, hi - shift);
      run(lo + n - shift, n);
    }
  }

  // Deals the nodes of block b marked in `active` into sub-rounds, in
  // order_[lo, lo + count) (sub-round after sub-round, ascending within
  // each), and clears their marks. Returns the count.
  template <class RoundOf>
  size_t deal(size_t n, size_t pass, size_t lo, size_t hi, const RoundOf& round_of, std::vector<uint8_t>& active) {
    std::array<size_t, kRounds + 1> start{};
    for_block_nodes(n, pass, lo, hi, [&](size_t v) {
      if (active[v]) ++start[round_of(v) + 1];
    });
    for (size_t r = 0; r < kRounds; ++r) start[r + 1] += start[r];
    for_block_nodes(n, pass, lo, hi, [&](size_t v) {
      if (!active[v]) return;
      order_[lo + start[round_of(v)]++] = static_cast<Index>(v);
      active[v] = 0;
    });
    return start[kRounds];
  }

  template <class Graph, class RoundOf>
  Moves block(const Level<Index, Graph>& level, double resolution, size_t pass, Partition<Index, W>& part,
              const RoundOf& round_of, std::vector<uint8_t>& active, size_t b, BlockChanges<Index, W>& changes) {
    const Graph& graph = level.graph;
    const size_t n = graph.node_count();
    const W* degree = level.degree.data();
    Index* community = part.community.data();
    const size_t lo = (b * n + kBlocks - 1) / kBlocks, hi = ((b + 1) * n + kBlocks - 1) / kBlocks;
    const size_t count = deal(n, pass, lo, hi, round_of, active);
    auto in_block = [n, pass, lo, hi](Index w) {
      const size_t at = shifted(w, n, pass);
      return at >= lo && at < hi;
    };
    auto community_of = [&](Index w) { return in_block(w) ? community[w] : community_[w]; };
    auto total_of = [&](Index c) { return total_[c] + changes.total(c); };
    auto size_of = [&](Index c) { return static_cast<Index>(size_[c] + changes.size(c)); };
    auto other_block = [&](Index c) { return !in_block(c); };
    const Index* nodes = order_.data() + lo;
    Moves moves{0, 0};
    level.tables.with_table([&](WeightTable<Index, W>& weights) {
      RunPrefetch<Index> ahead = graph.read_ahead();
      for (size_t i = 0; i < count; ++i) {
        poll_interrupt_every(i, 1024);
        ahead.before(i, count, [&](size_t j) { return nodes[j]; }, [&](Index w) { return &community[w]; });
        const Index v = nodes[i];
        const Index own = community[v];
        weights.add_entries(graph, v, community_of, [v](Index w) { return w != v; });
        // An empty community of the block's own can take no node of
        // another block: they see the communities as the pass found them.
        const auto [to, gain] = best_community(level, resolution, pass, v, own, weights, total_of, size_of, other_block,
                                               [&](Index c) { return size_[c] == 0 && changes.size(c) == 0; });
        weights.clear();
        if (!(gain > 0)) continue;
        ++moves.moved;
        moves.gain += gain;
        changes.add(own, W{} - degree[v], static_cast<Index>(-1));
        changes.add(to, degree[v], Index{1});
        community[v] = to;
        graph.for_each(v, [&](Index w, W) { std::atomic_ref<uint8_t>(marked_[w]).store(1, std::memory_order_relaxed); });
      }
    });
    changes.drain([&part](Index c, W total, Index size) {
      atomic_add(part.total[c], total);
      atomic_add(part.size[c], size);
    });
    return moves;
  }

  // Each pass's starting communities, totals and sizes.
  std::vector<Index> community_;
  std::vector<W> total_;
  std::vector<Index> size_;
  std::vector<Index> order_;     // each block's nodes of the pass, by sub-round, at the block's shifted indices
  std::vector<uint8_t> marked_;  // the nodes next to a move in the pass
  std::mutex mutex_;
  std::vector<std::unique_ptr<BlockChanges<Index, W>>> free_;  // at most one per worker
};

// Each node's sub-round for a first pass that visits the nodes by
// degree, largest first, in sub-rounds that grow geometrically: sub-round
// r takes the ranks from (n + 1)^(r / kRounds) - 1 on, so the largest
// nodes decide nearly one at a time and the small ones, the bulk, in a
// few large sub-rounds. Degrees within 1 / 16 of each other (the top 16
// bits of the degree as a double) count as equal and are ranked by a hash
// of the node and `key`.
//
// Used on Louvain's aggregated levels, where every node starts alone. On
// graphs with hubs the order decides which hub communities merge: on a
// Chung-Lu graph of 8,000,000 nodes (power-law degrees, exponent 2.1, ids
// shuffled) the first aggregate's moving reached modularity 0.2995 with
// the hashed dealing and 0.3185 this way (with exact ranks), and the whole
// Louvain run 0.3312 against 0.3358 (NetworKit's PLM on one thread, which
// visits in index order: 0.3324). Hashed sub-rounds of any size (64 to 16,384) stayed at
// 0.3313, and dealing the input level by degree too lost modularity on the
// hyperbolic graph (0.9375 to 0.9328).
template <class Index, class W>
std::vector<uint8_t> degree_rounds(const std::vector<W>& degree, uint64_t key) {
  static_assert(kRounds <= 256);
  const size_t n = degree.size();
  auto class_of = [](W d) { return static_cast<size_t>(std::bit_cast<uint64_t>(static_cast<double>(d)) >> 48); };
  // Nodes per degree class, then each class's first rank (largest first).
  std::vector<uint64_t> first(size_t{1} << 16);
  for (size_t v = 0; v < n; ++v) {
    poll_interrupt_every(v, 65536);
    ++first[class_of(degree[v])];
  }
  std::vector<uint64_t> count = first;
  uint64_t rank = 0;
  for (size_t c = first.size(); c-- > 0;) {
    first[c] = rank;
    rank += count[c];
  }
  std::array<uint64_t, kRounds + 1> bound{};
  for (size_t r = 0; r <= kRounds; ++r) {
    bound[r] = static_cast<uint64_t>(std::pow(static_cast<double>(n) + 1, static_cast<double>(r) / kRounds)) - 1;
  }
  std::vector<uint8_t> round = vector_polling<uint8_t>(n);
  parallel_for(n, kMinNodesPerRange, [&](size_t v) {
    const size_t c = class_of(degree[v]);
    const uint64_t at = first[c] + SplitMix64::mix(key + v) % count[c];
    const size_t r = static_cast<size_t>(std::upper_bound(bound.begin() + 1, bound.end(), at) - bound.begin()) - 1;
    round[v] = static_cast<uint8_t>(std::min(r, kRounds - 1));
  });
  return round;
}

// Best moves of a level's nodes, sub-round after sub-round, until a pass
// moves at most 1 in kSettledFraction of the nodes, or gains less than
// 1 / `settling.gain` of what the level has gained so far and less than the
// pass before it (once a pass gained more than the one before it, or after
// `settling.wait_passes`), or after `max_passes`.
template <class Index, class Graph>
Moves move_nodes(const Level<Index, Graph>& level, double resolution, size_t max_passes,
                Partition<Index, typename Graph::Weight>& part, Settling settling_rule) {
  using W = typename Graph::Weight;
  const Graph& graph = level.graph;
  const size_t n = graph.node_count();
  const W* degree = level.degree.data();
  std::vector<uint8_t> active = vector_polling<uint8_t>(n, 1);
  std::optional<BlockMoving<Index, W>> blocks;
  std::vector<Index> target;
  std::vector<double> gain;  // per visit: the chosen score less the staying one
  if constexpr (kOrderFree<W>) {
    if (level.in_blocks) blocks.emplace(n);
  }
  Dealing<Index> dealing(blocks ? 0 : n);
  if (!blocks) {
    target = vector_polling<Index>(n);
    gain = vector_polling<double>(n);
  }
  double level_gain = 0, last_gain = HUGE_VAL;
  bool rose = false;  // some pass gained more than the one before it
  uint64_t level_moved = 0;
  Index* community = part.community.data();
  W* total = part.total.data();
  Index* size = part.size.data();
  std::vector<uint8_t> first_round;  // the first pass's sub-rounds, when dealt by degree
  if (level.by_degree) first_round = degree_rounds<Index>(level.degree, level.schedule.key);
  for (size_t pass = 0; pass < max_passes; ++pass) {
    if (pass == 1) first_round = {};
    uint64_t moved = 0;
    double pass_gain = 0;
    // The nodes to visit, dealt into sub-rounds afresh for every pass: with
    // one dealing for all passes, two nodes of one sub-round that trade
    // communities trade them back in every pass (on the power-law 200,000 /
    // 2,000,000 graph, 427 nodes did so for the remaining 52 passes).
    const uint64_t deal = SplitMix64::mix(level.schedule.key + (pass + 1) * SplitMix64::kIncrement);
    auto round_of = [deal, &first_round](size_t v) {
      return first_round.empty() ? static_cast<size_t>(SplitMix64::mix(deal + v) % kRounds) : size_t{first_round[v]};
    };
    if (blocks) {
      const Moves moves = blocks->run_pass(level, resolution, pass, part, round_of, active);
      moved = moves.moved;
      pass_gain = moves.gain;
    } else {
      dealing.deal(graph, [&active](size_t v) { return active[v] != 0; }, round_of);
      std::fill(active.begin(), active.end(), uint8_t{0});
      const std::vector<size_t>& start = dealing.start;
      for (size_t r = 0; r < kRounds; ++r) {
        poll_interrupt();
        const Index* nodes = dealing.order.data() + start[r];
        Index* chosen = target.data() + start[r];
        double* gained = gain.data() + start[r];
        const size_t count = start[r + 1] - start[r];
        dealing.for_round(r, [&](size_t begin, size_t end) {
          level.tables.with_table([&](WeightTable<Index, W>& weights) {
            RunPrefetch<Index> ahead = graph.read_ahead();
            for (size_t i = begin; i < end; ++i) {
              poll_interrupt_every(i, 1024);
              ahead.before(
                  i - begin, end - begin, [&](size_t j) { return nodes[begin + j]; },
                  [&](Index w) { return &community[w]; });
              const Index v = nodes[i];
              weights.add_entries(
                  graph, v, [&](Index w) { return community[w]; }, [v](Index w) { return w != v; });
              std::tie(chosen[i], gained[i]) = best_community(
                  level, resolution, pass, v, community[v], weights, [&](Index c) { return total[c]; },
                  [&](Index c) { return size[c]; }, [&](Index c) { return round_of(c) == r; },
                  // An empty community is no neighbour's, so no node of
                  // the sub-round can pick it.
                  [&](Index c) { return size[c] == 0; });
              weights.clear();
            }
          });
        });
        // Summed in visiting order, so the stopping point is the same on
        // any number of threads.
        for (size_t i = 0; i < count; ++i) pass_gain += gained[i];
        moved += in_fixed_order<W>(count, kMinApplyPerRange, [&](size_t i) -> uint64_t {
          poll_interrupt_every(i);
          // A node moves exactly when its move gains (staying wins ties),
          // so a node that stays costs no look-up of its community.
          if (!(gained[i] > 0)) return 0;
          const Index v = nodes[i];
          const Index from = community[v], to = chosen[i];
          accumulate<W>(total[from], W{} - degree[v]);
          accumulate<W>(total[to], degree[v]);
          accumulate<W>(size[from], static_cast<Index>(-1));
          accumulate<W>(size[to], Index{1});
          community[v] = to;
          graph.for_each(v, [&](Index w, W) { std::atomic_ref<uint8_t>(active[w]).store(1, std::memory_order_relaxed); });
          return 1;
        });
      }
    }
    level_moved += moved;
    level_gain += pass_gain;
    rose = rose || pass_gain > last_gain;
    const bool settling = pass_gain <= last_gain && pass_gain * settling_rule.gain <= level_gain &&
                          (rose || pass + 1 >= settling_rule.wait_passes);
    last_gain = pass_gain;
    if (moved * kSettledFraction <= n || settling) break;
  }
  return {level_moved, level_gain};
}

// Leiden's refinement: within each community of `part`, nodes start alone
// and a lone node joins the neighbouring refined community (inside its own
// community) that gains the most, if any gains, visiting each node once.
// A node is only moved while alone and only into a community it has an edge
// into, and a lone node that another may join is never moved in the same
// sub-round, so every refined community stays connected. Both the node and
// the community it joins must be well connected to the rest of their
// community (Traag, Waltman and van Eck, 2019), and the best gain wins (no
// random pick). Returns each node's refined community (a node index).
template <class Index, class Graph>
std::vector<Index> refine(const Level<Index, Graph>& level, double resolution,
                          const Partition<Index, typename Graph::Weight>& part) {
  using W = typename Graph::Weight;
  using Signed = std::conditional_t<kOrderFree<W>, int64_t, W>;
  const Graph& graph = level.graph;
  const Schedule<Index>& schedule = level.schedule;
  const std::vector<W>& degree = level.degree;
  const double two_m = level.two_m;
  const size_t n = graph.node_count();
  const Index* community = part.community.data();
  std::vector<Index> refined = vector_polling<Index>(n), size = vector_polling<Index>(n, 1);
  std::vector<W> total = copy_polling(degree);
  std::vector<W> inside = vector_polling<W>(n);        // weight from a node to the rest of its community
  std::vector<Signed> cut = vector_polling<Signed>(n);  // weight from a refined community to the rest of its community
  parallel_for(n, kMinDecidePerRange, [&](size_t v) {
    W sum{};
    graph.for_each(v, [&](Index w, W weight) {
      if (w != v && community[w] == community[v]) sum += weight;
    });
    refined[v] = static_cast<Index>(v);
    inside[v] = sum;
    cut[v] = static_cast<Signed>(sum);
  });
  // Well connected: the weight to the rest of the community at least what
  // the null model expects between the two parts.
  auto connected_enough = [&](double weight, double part_total, Index c) {
    const double rest = static_cast<double>(part.total[c]) - part_total;
    return two_m * weight >= resolution * part_total * rest;
  };
  std::vector<Index> target = vector_polling<Index>(n);
  std::vector<W> joined_weight = vector_polling<W>(n);
  for (size_t r = 0; r < kRounds; ++r) {
    poll_interrupt();
    const size_t first = schedule.dealing.start[r];
    const size_t count = schedule.dealing.start[r + 1] - first;
    schedule.dealing.for_round(r, [&](size_t begin, size_t end) {
      level.tables.with_table([&](WeightTable<Index, W>& weights) {
        RunPrefetch<Index> ahead = graph.read_ahead();
        const Index* nodes = schedule.dealing.order.data() + first;
        for (size_t i = first + begin; i < first + end; ++i) {
          poll_interrupt_every(i, 1024);
          ahead.before(
              i - first - begin, end - begin, [&](size_t j) { return nodes[begin + j]; },
              [&](Index w) { return &community[w]; });
          const Index v = nodes[i - first];
          target[i] = v;
          const Index own = community[v];
          const double kv = static_cast<double>(degree[v]);
          if (size[v] != 1 || !connected_enough(static_cast<double>(inside[v]), kv, own)) continue;
          weights.add_entries(
              graph, v, [&](Index w) { return refined[w]; },
              [&](Index w) { return w != v && community[w] == own; });
          Index best = v;
          double best_score = 0;
          W best_weight{};
          weights.for_each([&](Index c, W weight) {
            if (size[c] == 1 && schedule.round_of[c] == r) return;  // c may be moving now
            const double c_total = static_cast<double>(total[c]);
            if (!connected_enough(static_cast<double>(cut[c]), c_total, own)) return;
            const double score = two_m * static_cast<double>(weight) - resolution * kv * c_total;
            if (score > best_score || (score == best_score && best != v && c < best)) {
              best = c;
              best_score = score;
              best_weight = weight;
            }
          });
          weights.clear();
          target[i] = best;
          joined_weight[i] = best_weight;
        }
      });
    });
    in_fixed_order<W>(count, kMinApplyPerRange, [&](size_t j) -> uint64_t {
      const size_t i = first + j;
      const Index v = schedule.dealing.order[i], to = target[i];
      if (to == v) return 0;
      refined[v] = to;
      size[v] = 0;
      accumulate<W>(size[to], Index{1});
      accumulate<W>(total[to], degree[v]);
      // Neighbours joining together leave their shared edges counted as cut:
      // an overestimate that only makes the community look better connected.
      accumulate<W>(cut[to], static_cast<Signed>(inside[v]) - 2 * static_cast<Signed>(joined_weight[i]));
      return 1;
    });
  }
  return refined;
}

// Renumbers community numbers (each below the node count) 0, 1, ... in
// order of first appearance.
template <class T>
void number_by_first_appearance(std::span<T> community) {
  constexpr T kUnseen = static_cast<T>(-1);
  std::vector<T> number = vector_polling<T>(community.size(), kUnseen);
  T next = 0;
  for (size_t v = 0; v < community.size(); ++v) {
    poll_interrupt_every(v, 65536);
    T& seen = number[static_cast<size_t>(community[v])];
    if (seen == kUnseen) seen = next++;
    community[v] = seen;
  }
}

// ---- aggregation -------------------------------------------------------------

// Dense numbers for the communities in use, ascending by community index;
// returns how many there are.
template <class Index>
size_t number_communities(const std::vector<Index>& community, std::vector<Index>& dense) {
  const size_t n = community.size();
  dense.clear();
  resize_polling(dense, n);
  parallel_for(n, kMinNodesPerRange, [&](size_t v) {
    std::atomic_ref<Index>(dense[community[v]]).store(1, std::memory_order_relaxed);
  });
  size_t count = 0;
  for (size_t c = 0; c < n; ++c) {
    poll_interrupt_every(c, 65536);
    const bool used = dense[c] != 0;
    dense[c] = static_cast<Index>(count);
    count += used;
  }
  return count;
}

// Whether most entries of a sample of nodes (kInsideSample, spread evenly)
// lead to nodes of the same group.
constexpr size_t kInsideSample = 4096;

template <class Index, class Graph>
bool mostly_inside(const Graph& graph, const std::vector<Index>& group) {
  const size_t n = graph.node_count();
  const size_t samples = std::min(n, kInsideSample);
  uint64_t inside = 0, all = 0;
  for (size_t s = 0; s < samples; ++s) {
    const size_t v = s * n / samples;
    graph.for_each(v, [&](Index w, typename Graph::Weight) {
      inside += group[w] == group[v];
      ++all;
    });
  }
  return 2 * inside > all;
}

// The graph of the communities `group[v]` (dense, below `count`), in
// `store`. Each group's neighbouring groups are summed once, into room for
// as many as it may have (see below), and left there (packing them cost a
// copy of every entry and a second array as large).
template <class Index, class Graph>
WeightedGraph<Index, typename Graph::Weight> aggregate(const Graph& graph, const std::vector<Index>& group,
                                                       size_t count, TablePool<Index, typename Graph::Weight>& tables,
                                                       EntryStore<Index, typename Graph::Weight>& store) {
  using W = typename Graph::Weight;
  const size_t n = graph.node_count();
  // Members of each group, ascending, by a counting sort.
  std::vector<uint64_t> member_start = vector_polling<uint64_t>(count + 1);
  for (size_t v = 0; v < n; ++v) {
    poll_interrupt_every(v, 65536);
    ++member_start[group[v] + 1];
  }
  for (size_t c = 0; c < count; ++c) member_start[c + 1] += member_start[c];
  std::vector<Index> members = vector_polling<Index>(n);
  {
    std::vector<uint64_t> next(member_start.begin(), member_start.end() - 1);
    for (size_t v = 0; v < n; ++v) {
      poll_interrupt_every(v, 65536);
      members[next[group[v]]++] = static_cast<Index>(v);
    }
  }
  // The groups [begin, end) of a range, their members' rows read ahead:
  // visit(c, v) for each member v of each group c, then done(c).
  auto walk_groups = [&](size_t begin, size_t end, const auto& visit, const auto& done) {
    RunPrefetch<Index> ahead = graph.read_ahead();
    const uint64_t first = member_start[begin];  // the range's members lie one after the other
    for (size_t c = begin; c < end; ++c) {
      for (uint64_t i = member_start[c]; i < member_start[c + 1]; ++i) {
        poll_interrupt_every(i, 1024);  // by member: one group may hold most of the nodes
        ahead.before(
            i - first, member_start[end] - first, [&](size_t j) { return members[first + j]; },
            [&](Index w) { return &group[w]; });
        visit(c, members[i]);
      }
      done(c);
    }
  };
  // Room for a group's sums: one per group it has an edge into, so no more
  // than its members' entries nor than the group count; or, counted in a
  // pass of its own, one per entry into another group and one for its own
  // (at most the group count, again).
  std::vector<uint64_t> work = vector_polling<uint64_t>(count + 1);
  std::vector<uint64_t> room = vector_polling<uint64_t>(count + 1);
  parallel_for(count, kMinNodesPerRange, [&](size_t c) {
    uint64_t entries = 0;
    for (uint64_t i = member_start[c]; i < member_start[c + 1]; ++i) entries += graph.entries(members[i]);
    work[c + 1] = entries;
    room[c + 1] = std::min<uint64_t>(entries, count);
  });
  for (size_t c = 0; c < count; ++c) {
    work[c + 1] += work[c];
    room[c + 1] += room[c];
  }
  // The count pays where the store would grow and most entries lie inside
  // their group (on the 1M-node hyperbolic graph, modularity 0.96: 233 MB
  // of room for all entries against 78 MB, whose first writes to fresh
  // memory took 0.46 s against 0.09 s, and 0.07 s for the count). On a
  // random graph a pass of each level costs time for little room (Louvain
  // on 1M / 10M G(n, m), 1 thread: 13.8 s became 15.5 s counting on every
  // level), so the groups' hold on their entries is first sampled. Where
  // the groups are few, the group count bounds the room without a pass:
  // on a 1M-node LFR graph of 30M edges, 353 groups after the input level,
  // the count had read every entry once more, 0.8 of 7.6 s (1 thread).
  if (room[count] > store.targets.size() && mostly_inside(graph, group)) {
    parallel_for_weighted_ranges(count, work.data(), kMinDecideWork, [&](size_t begin, size_t end) {
      uint64_t outside = 0;
      bool inside = false;
      walk_groups(
          begin, end,
          [&](size_t c, Index v) {
            graph.for_each(v, [&](Index w, W) {
              if (group[w] == c) {
                inside = true;
              } else {
                ++outside;
              }
            });
          },
          [&](size_t c) {
            // Each range writes its own groups' slots; the sums above are
            // not read until the prefix sums below are redone.
            room[c + 1] = std::min<uint64_t>(outside + inside, count);
            outside = 0;
            inside = false;
          });
    });
    for (size_t c = 0; c < count; ++c) room[c + 1] += room[c];
  }
  store.reserve(room[count]);
  Index* targets = store.targets.data();
  W* weights = store.weights.data();
  std::vector<uint64_t> stop = vector_polling<uint64_t>(count);
  parallel_for_weighted_ranges(count, work.data(), kMinDecideWork, [&](size_t begin, size_t end) {
    tables.with_table([&](WeightTable<Index, W>& sums) {
      walk_groups(
          begin, end,
          [&](size_t, Index v) { sums.add_entries(graph, v, [&](Index w) { return group[w]; }, [](Index) { return true; }); },
          [&](size_t c) {
            uint64_t k = room[c];
            sums.for_each([&](Index w, W weight) {
              targets[k] = w;
              weights[k++] = weight;
            });
            stop[c] = k;
            sums.clear();
          });
    });
  });
  room.pop_back();
  return {std::move(room), std::move(stop), targets, weights};
}

// ---- the levels ----------------------------------------------------------------

// Louvain, Leiden and label propagation over a level-0 graph `Base`.
template <class Index, class Base>
class Multilevel {
 public:
  Multilevel(const Base& base, const CommunityOptions& options)
      : base_(base), options_(options), n_(base.node_count()), tables_(n_) {}

  // Local moving and aggregation until a level merges nothing, run
  // options_.iterations times; then the input graph's nodes moved once more
  // from the result, and every community split into its connected parts
  // and numbered.
  //
  // The last levels move whole communities (Louvain) or refined ones
  // (Leiden), which leaves single nodes on the borders that would gain by
  // moving; the final moving costs about two passes over the input graph.
  // Measured on the 200,000 / 2,000,000 G(n, m) graph (seeds 1 to 5, mean
  // modularity): Leiden 0.2056 to 0.2074, Louvain 0.2055 to 0.2068 (seeds 1
  // to 3); on the power-law graph of that size Leiden 0.1633 to 0.1638,
  // Louvain 0.1612 to 0.1613; on the 1,000,000 / 10,000,000 G(n, m) graph
  // (seed 1, with kSmallLevelGain) Leiden 0.2010 to 0.2030 for 33.1 to 29.7
  // CPU seconds.
  void run(int64_t* labels) {
    const CallerJoinsLoops caller_joins;  // two short loops per sub-round
    std::vector<Index> start = vector_polling<Index>(n_);
    resize_polling(node_at_, n_);
    parallel_for(n_, kMinNodesPerRange, [&](size_t v) { start[v] = static_cast<Index>(v); });
    bool settled = false;  // no node of the input graph would move from `start`
    for (uint64_t iteration = 0; iteration < options_.iterations; ++iteration) {
      const std::vector<Index> result = levels(copy_polling(start));
      // The iteration's start is kept only where it may be the result.
      std::vector<Index> before;
      if (input_unmoved_) {
        before = std::move(start);
        start = vector_polling<Index>(n_);
      }
      // Each original node takes its level node's community.
      parallel_for(n_, kMinNodesPerRange, [&](size_t v) { start[v] = result[node_at_[v]]; });
      split_and_number(start);
      // Both numbered by first appearance: equal as partitions exactly when
      // equal as vectors.
      settled = input_unmoved_ && start == before;
    }
    // A pass that visits every node and moves none leaves every node where
    // no move gains (a lone node barred from joining a lone neighbour that
    // decides with it would let that neighbour, which gains the same, join
    // it), so the final moving would move nothing: on a 1,000,000-node LFR
    // graph with 30,000,000 edges, where the second iteration moved no
    // node, it was 1.1 s of a 12 s Louvain run.
    if (!settled) {
      move_input_nodes(start, level_++, options_.resolution, kMaxPasses, kNeverSettled);
      split_and_number(start);
    }
    parallel_for(n_, kMinNodesPerRange, [&](size_t v) { labels[v] = static_cast<int64_t>(start[v]); });
  }

  // Label propagation: the moving alone, at resolution 0, on the input graph.
  void propagate(int64_t* labels) {
    const CallerJoinsLoops caller_joins;
    std::vector<Index> start = vector_polling<Index>(n_);
    parallel_for(n_, kMinNodesPerRange, [&](size_t v) { start[v] = static_cast<Index>(v); });
    move_input_nodes(start, 0, 0.0, kMaxLabelPasses, settled());
    number_by_first_appearance(std::span<Index>(start));
    parallel_for(n_, kMinNodesPerRange, [&](size_t v) { labels[v] = static_cast<int64_t>(start[v]); });
  }

 private:
  using W = typename Base::Weight;

  // Whether a level of `nodes` nodes moves by blocks (BlockMoving): when
  // the input graph is in id order with local ids, every level of
  // kMinBlockNodes or more, since the aggregates stay near that order (a
  // community is numbered by its first node).
  bool in_blocks(size_t nodes) const noexcept {
    if constexpr (requires { base_.local; }) {
      return base_.local && nodes >= kMinBlockNodes;
    } else {
      return false;
    }
  }

  // How the aggregated levels (and label propagation) settle by gain.
  Settling settled() const noexcept { return base_.weighted() ? kSettledWeighted : kSettledUnweighted; }

  template <class Graph>
  static std::vector<W> degrees(const Graph& graph) {
    std::vector<W> degree = vector_polling<W>(graph.node_count());
    parallel_for(graph.node_count(), kMinNodesPerRange, [&](size_t v) {
      W sum{};
      graph.for_each(v, [&sum](Index, W weight) { sum += weight; });
      degree[v] = sum;
    });
    return degree;
  }

  // Moves the input graph's nodes from the communities `community`, with
  // the schedule of level number `level`.
  void move_input_nodes(std::vector<Index>& community, uint64_t level, double resolution, size_t max_passes,
                        Settling settling) {
    const std::vector<W> degree = degrees(base_);
    Partition<Index, W> part(std::move(community), degree);
    const Schedule<Index> schedule(base_, options_.seed, level);
    move_nodes(Level<Index, Base>{base_, degree, two_m(degree), schedule, tables_, false, in_blocks(n_)}, resolution,
               max_passes, part, settling);
    community = std::move(part.community);
  }

  // 2m, the sum of the original degrees (in node order for float weights).
  double two_m(const std::vector<W>& degree) {
    if (!two_m_) {
      W sum{};
      if constexpr (kOrderFree<W>) {
        sum = parallel_sum(degree.size(), kMinNodesPerRange, [&](size_t v) { return degree[v]; });
      } else {
        for (W d : degree) sum += d;
      }
      two_m_ = static_cast<double>(sum);
    }
    return *two_m_;
  }

  // Levels of moving (and refining, for Leiden) and aggregation from the
  // communities `community` of the original nodes, until a level merges
  // nothing. Returns the communities of the last level's nodes; node_at_
  // maps each original node to its node there.
  std::vector<Index> levels(std::vector<Index> community) {
    parallel_for(n_, kMinNodesPerRange, [&](size_t v) { node_at_[v] = static_cast<Index>(v); });
    size_t into = 0;  // the store the next aggregate goes into: not the one being read
    std::optional<WeightedGraph<Index, W>> graph = level(base_, community, stores_[into]);
    while (graph) {
      into ^= 1;
      std::optional<WeightedGraph<Index, W>> next = level(*graph, community, stores_[into]);
      graph = std::move(next);
    }
    return community;
  }

  // Moves the nodes of `graph` from `community`, refines (Leiden) and, if
  // that merged any nodes, returns the aggregate (in `store`) and makes
  // `community` the aggregate's starting communities: each group's
  // community, named after the community's first group.
  template <class Graph>
  std::optional<WeightedGraph<Index, W>> level(const Graph& graph, std::vector<Index>& community,
                                               EntryStore<Index, W>& store) {
    const size_t n = graph.node_count();
    std::vector<Index> groups;
    {
      const std::vector<W> degree = degrees(graph);
      Partition<Index, W> part(std::move(community), degree);
      const Schedule<Index> schedule(graph, options_.seed, level_++);
      // Louvain's aggregated levels start with every node alone. (Leiden's
      // after its refinement ends do too, but dealing them by degree gained
      // nothing there: 0.33440 either way on degree_rounds' Chung-Lu graph, and
      // the 1M-node LFR graph's NMI fell from 0.9960 to 0.9957.)
      const bool alone = !std::is_same_v<Graph, Base> && !options_.refine;
      const Level<Index, Graph> here{
          graph, degree, two_m(degree), schedule, tables_, options_.refine, in_blocks(n), alone};
      const Settling settling = std::is_same_v<Graph, Base> ? kNeverSettled : settled();
      const Moves moves = move_nodes(here, options_.resolution, kMaxPasses, part, settling);
      if (std::is_same_v<Graph, Base>) {
        input_unmoved_ = moves.moved == 0;
        iteration_gain_ = 0;
        refining_ = options_.refine;
      }
      iteration_gain_ += moves.gain;
      if (refining_ && moves.moved > 0 && moves.gain * kSmallLevelGain < iteration_gain_) refining_ = false;
      groups = refining_ ? refine(here, options_.resolution, part) : part.community;
      community = std::move(part.community);
    }
    std::vector<Index> dense;
    size_t count = number_communities(groups, dense);
    // Once Leiden's refinement merges nothing (or its levels gain next to
    // nothing), the levels after it aggregate whole communities, as
    // Louvain's do, so that communities still merge where that gains. A
    // level that moves no node still refines: its refinement joins pieces
    // of a community into larger ones, which the next level may move as a
    // whole (how a community that joined two groups splits them again).
    // Stopping at the first such level instead left communities that two
    // planted ones had formed, and merges of two communities that gained up
    // to 5e-4 modularity, on LFR graphs of 1,000 nodes: mean modularity
    // 0.4961 at mu 0.3 and 0.3629 at mu 0.4 (100 graphs each), now 0.4967
    // and 0.3641; igraph's Leiden 0.4967 and 0.3641.
    if (count == n && refining_) {
      refining_ = false;
      groups = community;
      count = number_communities(groups, dense);
    }
    if (count == n) return std::nullopt;
    parallel_for(n, kMinNodesPerRange, [&](size_t v) { groups[v] = dense[groups[v]]; });
    dense = {};
    std::vector<Index> first_group = vector_polling<Index>(n, static_cast<Index>(-1));
    for (size_t v = 0; v < n; ++v) {
      poll_interrupt_every(v, 65536);
      Index& first = first_group[community[v]];
      first = std::min(first, groups[v]);
    }
    std::vector<Index> next = vector_polling<Index>(count);
    // Every member of a group writes the group's one value: atomic stores,
    // as the writes of one slot may meet.
    parallel_for(n, kMinNodesPerRange, [&](size_t v) {
      std::atomic_ref<Index>(next[groups[v]]).store(first_group[community[v]], std::memory_order_relaxed);
    });
    community = std::move(next);
    first_group = {};
    parallel_for(n_, kMinNodesPerRange, [&](size_t v) { node_at_[v] = groups[node_at_[v]]; });
    return aggregate(graph, groups, count, tables_, store);
  }

  // Splits every community into its connected parts (which can only raise
  // modularity) and numbers them by first appearance in node order.
  void split_and_number(std::vector<Index>& community) {
    ConcurrentUnionFind<Index> sets(n_);
    parallel_for_ranges(n_, kMinNodesPerRange, [&](size_t begin, size_t end) {
      for (size_t u = begin; u < end; ++u) {
        poll_interrupt_every(u);
        base_.for_each(u, [&](Index w, W) {
          if (w < u && community[w] == community[u]) sets.unite(static_cast<Index>(u), w);
        });
      }
    });
    // The root of a set is its smallest index (concurrent_union_find.hpp).
    parallel_for(n_, kMinNodesPerRange, [&](size_t v) { community[v] = sets.find(static_cast<Index>(v)); });
    number_by_first_appearance(std::span<Index>(community));
  }

  const Base& base_;
  CommunityOptions options_;
  size_t n_;
  std::optional<double> two_m_;
  uint64_t level_ = 0;
  double iteration_gain_ = 0;  // the gain of the current iteration's levels so far
  bool input_unmoved_ = false;  // the current iteration's input level moved no node (in its first pass, over all)
  bool refining_ = false;      // Leiden, until the iteration's refined levels end
  std::vector<Index> node_at_;  // each original node's node on the current level
  // Every level's tables (a level has at most n_ nodes) and its aggregate's room.
  TablePool<Index, W> tables_;
  std::array<EntryStore<Index, W>, 2> stores_;
};

// f(graph) with the snapshot's level-0 graph.
template <class F>
decltype(auto) with_snapshot_graph(const CsrSnapshot& snap, F&& f) {
  return snap.with_neighbor_index([&](const auto* runs) {
    using Index = std::remove_cv_t<std::remove_pointer_t<decltype(runs)>>;
    return f(SnapshotGraph<Index>{snap.offsets.data(), runs, snap.node_count()});
  });
}

// f(graph) with the rows' level-0 graph.
template <class F>
decltype(auto) with_rows_graph(const CsrArrays& rows, F&& f) {
  auto typed = [&](const auto* indices) {
    using Stored = std::remove_cv_t<std::remove_pointer_t<decltype(indices)>>;
    const auto* w32 = rows.weight_type == WeightType::kFloat32 ? static_cast<const float*>(rows.weights) : nullptr;
    const auto* w64 = rows.weight_type == WeightType::kFloat64 ? static_cast<const double*>(rows.weights) : nullptr;
    return f(RowsGraph<std::make_unsigned_t<Stored>, Stored>{rows.indptr, indices, w32, w64, rows.n});
  };
  if (rows.wide) return typed(static_cast<const int64_t*>(rows.indices));
  return typed(static_cast<const int32_t*>(rows.indices));
}

template <class Graph>
void run_multilevel(const Graph& graph, const CommunityOptions& options, std::span<int64_t> out) {
  Multilevel<typename Graph::Node, Graph>(graph, options).run(out.data());
}

// Smallest graph that is renumbered in id order when its ids are local:
// below it a level's per-node arrays stay in the 2 MB second-level cache
// whatever the order.
constexpr size_t kMinIdOrderedNodes = size_t{1} << 16;

// detect(graph, labels) on the snapshot's graph, in ascending id order when
// the ids are local (id_order.hpp); the labels come back in the snapshot's
// node order, numbered by first appearance in it.
template <class Detect>
void detect_in_id_order(const CsrSnapshot& snap, std::span<int64_t> out, const Detect& detect) {
  with_snapshot_graph(snap, [&](const auto& graph) {
    using Index = typename std::remove_cvref_t<decltype(graph)>::Node;
    if (graph.node_count() < kMinIdOrderedNodes || !ids_are_local(snap, graph.runs)) {
      detect(graph, out);
      return;
    }
    IdOrderedGraph<Index> ordered = id_ordered(snap, graph.runs);
    std::vector<int64_t> labels = vector_polling<int64_t>(graph.node_count());
    detect(SnapshotGraph<Index>{ordered.offsets.data(), ordered.runs.data(), graph.node_count(), true},
           std::span<int64_t>(labels));
    ordered.offsets = {};
    ordered.runs = {};
    parallel_for(out.size(), kMinNodesPerRange, [&](size_t v) { out[v] = labels[ordered.position[v]]; });
    number_by_first_appearance(out);
  });
}

// Sum over communities of L_c / m - resolution (D_c / 2m)^2, as NetworkX:
// per node its degree and its weight into its own community (in parallel),
// then per community in node order.
template <class Graph>
double modularity_of(const Graph& graph, std::span<const int64_t> labels, double resolution) {
  using W = typename Graph::Weight;
  const size_t n = graph.node_count();
  std::vector<W> degree = vector_polling<W>(n), within = vector_polling<W>(n);
  parallel_for_ranges(n, kMinNodesPerRange, [&](size_t begin, size_t end) {
    for (size_t u = begin; u < end; ++u) {
      poll_interrupt_every(u);
      W d{}, in{};
      graph.for_each(u, [&](auto w, W weight) {
        d += weight;
        if (labels[w] == labels[u]) in += weight;
      });
      degree[u] = d;
      within[u] = in;
    }
  });
  std::vector<W> inner = vector_polling<W>(n), total = vector_polling<W>(n);
  W degree_sum{};
  for (size_t u = 0; u < n; ++u) {
    poll_interrupt_every(u);
    inner[labels[u]] += within[u];  // twice the weight inside (a loop's entry counts 2)
    total[labels[u]] += degree[u];
    degree_sum += degree[u];
  }
  const double two_m = static_cast<double>(degree_sum);
  const double norm = 1.0 / (two_m * two_m);
  double q = 0;
  for (size_t c = 0; c < n; ++c) {
    const double d = static_cast<double>(total[c]);
    q += static_cast<double>(inner[c]) / two_m - resolution * d * d * norm;
  }
  return q;
}

}  // namespace

void louvain_communities(const CsrSnapshot& snap, const CommunityOptions& options, std::span<int64_t> out) {
  CommunityOptions louvain = options;
  louvain.refine = false;
  detect_in_id_order(snap, out, [&](const auto& graph, std::span<int64_t> labels) {
    run_multilevel(graph, louvain, labels);
  });
}

void leiden_communities(const CsrSnapshot& snap, const CommunityOptions& options, std::span<int64_t> out) {
  CommunityOptions leiden = options;
  leiden.refine = true;
  detect_in_id_order(snap, out, [&](const auto& graph, std::span<int64_t> labels) {
    run_multilevel(graph, leiden, labels);
  });
}

void label_propagation_communities(const CsrSnapshot& snap, uint64_t seed, std::span<int64_t> out) {
  CommunityOptions options;
  options.seed = seed;
  detect_in_id_order(snap, out, [&](const auto& graph, std::span<int64_t> labels) {
    using Graph = std::remove_cvref_t<decltype(graph)>;
    Multilevel<typename Graph::Node, Graph>(graph, options).propagate(labels.data());
  });
}

double modularity(const CsrSnapshot& snap, std::span<const int64_t> labels, double resolution) {
  return with_snapshot_graph(snap, [&](const auto& graph) { return modularity_of(graph, labels, resolution); });
}

void rows_communities(const CsrArrays& rows, const CommunityOptions& options, std::span<int64_t> out) {
  with_rows_graph(rows, [&](const auto& graph) { run_multilevel(graph, options, out); });
}

double rows_modularity(const CsrArrays& rows, std::span<const int64_t> labels, double resolution) {
  return with_rows_graph(rows, [&](const auto& graph) { return modularity_of(graph, labels, resolution); });
}

}  // namespace arborvane
