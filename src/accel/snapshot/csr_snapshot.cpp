// Builds the CSR snapshot: node order is the adjacency map's iteration order,
// and each run holds the node's neighbours as node indices sorted by index.
// A temporary id -> index map turns neighbour ids into indices; it and the
// per-node id buffers are freed when the build ends. The per-node copy,
// look-ups and sort run on the worker pool; each node writes only its own
// run, so the result is the same for every thread count. Readers that ask
// for the snapshot together meet in SnapshotCache::get_or_build: one builds,
// the others wait for it.
//
// A snapshot over rows that the caller owns (over_rows) is checked, not
// built: only its degrees are computed.
#include "accel/snapshot/csr_snapshot.hpp"

#include <algorithm>
#include <atomic>
#include <memory>
#include <type_traits>

#include "accel/store/graph_state.hpp"
#include "accel/parallel/interrupt.hpp"
#include "accel/parallel/worker_pool.hpp"
#include "accel/support/radix_sort.hpp"

namespace arborvane {

namespace {

// Look-ups run this many entries ahead of their prefetch. Each look-up is a
// likely cache miss in a large map; the ids of a batch of nodes are copied
// out first so that the prefetches run on across node boundaries instead of
// stalling at the start of every run. At 1M nodes / 10M edges (1 thread)
// the build took 0.83 s with 8 entries ahead, restarted for every node;
// 0.72 s with 16 across nodes; 0.68 s with 32 or 64.
constexpr uint64_t kLookAhead = 32;
// Entries copied out per batch (whole nodes; a node with more entries is a
// batch of its own): small enough to stay in L1 with its indices.
constexpr uint64_t kBatchEntries = 2048;
// Runs this long (a hub's) poll for Ctrl-C as their ids are copied out and
// looked up, and are radix sorted, which polls as it goes; shorter ones
// take std::sort, which cannot poll.
constexpr uint64_t kLongRun = uint64_t{1} << 16;

template <class Index>
void sort_run(Index* begin, Index* end) {
  if (static_cast<uint64_t>(end - begin) < kLongRun) {
    std::sort(begin, end);
    return;
  }
  std::vector<Index> run(begin, end);
  radix_sort_by(run, [](Index index) { return static_cast<int64_t>(index); });
  std::copy(run.begin(), run.end(), begin);
}

template <class Index>
void fill_runs(const CsrSnapshot::Storage& store, const std::vector<const NeighborSet*>& sets,
               const IdMap<uint64_t>& index_of, std::vector<Index>& index_runs) {
  resize_polling(index_runs, store.offsets.back());
  parallel_for_ranges(sets.size(), 256, [&](size_t first, size_t last) {
    std::vector<int64_t> ids;
    size_t i = first;
    while (i < last) {
      poll_interrupt();
      // Nodes [i, end) form the batch: `length` entries of the runs from `begin`.
      const uint64_t begin = store.offsets[i];
      size_t end = i + 1;
      while (end < last && store.offsets[end + 1] - begin <= kBatchEntries) ++end;
      const uint64_t length = store.offsets[end] - begin;
      resize_polling(ids, length);
      for (size_t k = i; k < end; ++k) {
        int64_t* out = ids.data() + (store.offsets[k] - begin);
        if (store.degrees[k] < kLongRun) {
          sets[k]->copy_to(out);
          continue;
        }
        size_t copied = 0;
        sets[k]->for_each([&](int64_t id) {
          poll_interrupt_every(copied, kLongRun);
          out[copied++] = id;
        });
      }
      Index* indices = index_runs.data() + begin;
      for (uint64_t k = 0; k < std::min(length, kLookAhead); ++k) index_of.prefetch(ids[k]);
      for (uint64_t k = 0; k < length; ++k) {
        poll_interrupt_every(k, kLongRun);
        if (k + kLookAhead < length) index_of.prefetch(ids[k + kLookAhead]);
        const uint64_t* index = index_of.find(ids[k]);
        if (!index) throw InternalError("no entry found for key");
        indices[k] = static_cast<Index>(*index);
      }
      for (size_t k = i; k < end; ++k) {
        sort_run(index_runs.data() + store.offsets[k], index_runs.data() + store.offsets[k + 1]);
      }
      i = end;
    }
  });
}

std::unique_ptr<CsrSnapshot> build_snapshot(const GraphState& graph) {
  auto snap = std::make_unique<CsrSnapshot>();
  snap->storage = std::make_unique<CsrSnapshot::Storage>();
  CsrSnapshot::Storage& store = *snap->storage;
  size_t n = graph.adjacency.size();

  std::vector<const NeighborSet*> sets;
  sets.reserve(n);
  store.node_ids.reserve(n);
  store.degrees.reserve(n);
  store.position_samples.reserve((n + CsrSnapshot::kPositionStride - 1) / CsrSnapshot::kPositionStride);
  // Polling as it goes (16M nodes take 0.16 s). Inlined: a call per node
  // would cost as much as the node's own work.
  graph.adjacency.walk_polling([&](size_t position, int64_t id, const NeighborSet& set) __attribute__((always_inline)) {
    if (sets.size() % CsrSnapshot::kPositionStride == 0) store.position_samples.push_back(position);
    store.node_ids.push_back(id);
    store.degrees.push_back(set.size());
    sets.push_back(&set);
  });

  IdMap<uint64_t> index_of;
  if (n > 0) index_of.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    poll_interrupt_every(i, 65536);
    *index_of.try_emplace(store.node_ids[i]).first = i;
  }

  resize_polling(store.offsets, n + 1);
  store.offsets[0] = 0;
  for (size_t i = 0; i < n; ++i) {
    poll_interrupt_every(i, 65536);
    store.offsets[i + 1] = store.offsets[i] + store.degrees[i];
  }

  snap->wide = CsrSnapshot::needs_wide_index(n);
  if (snap->wide) {
    fill_runs(store, sets, index_of, store.neighbor_index64);
  } else {
    fill_runs(store, sets, index_of, store.neighbor_index32);
  }
  snap->view_storage();
  return snap;
}

// Whether node u's run is strictly ascending and each of its entries v
// above u is matched by u in v's run (a binary search: v's run is checked
// for order by its own call, and a run out of order fails that call
// whatever this one finds). Adds to `balance` the entries above u less
// those below it. With no repeated entries, every entry above its row
// matched by its reverse, and as many entries below their rows as above
// (a zero total balance), the reverses are all the entries below: the rows
// are symmetric. Half the entries need no search.
template <class Index>
bool undirected_run(std::span<const uint64_t> offsets, const Index* runs, size_t u, int64_t& balance) {
  const Index* begin = runs + offsets[u];
  const Index* end = runs + offsets[u + 1];
  for (const Index* p = begin; p != end; ++p) {
    poll_interrupt_every(static_cast<size_t>(p - begin), size_t{1} << 14);  // a hub's run alone may be long
    if (p != begin && p[-1] >= *p) return false;
    if (*p < u) {
      --balance;
    } else if (*p > u) {
      ++balance;
      if (!std::binary_search(runs + offsets[*p], runs + offsets[*p + 1], static_cast<Index>(u))) return false;
    }
  }
  return true;
}

}  // namespace

template <class Index>
std::unique_ptr<CsrSnapshot> CsrSnapshot::over_rows(std::span<const uint64_t> offsets, std::span<const Index> runs,
                                                    bool known_undirected) {
  const size_t n = offsets.size() - 1;
  auto snap = std::make_unique<CsrSnapshot>();
  snap->storage = std::make_unique<Storage>();
  std::vector<uint32_t>& degrees = snap->storage->degrees;
  degrees.resize(n);
  std::atomic<bool> undirected{true};
  std::atomic<int64_t> balance{0};
  // A node costs a binary search per entry above it; 1024 nodes per range
  // (about 10,000 entries on the 1M / 10M test graph) make a hand-over to
  // the pool a negligible part of a range. Chosen, not tuned: the check
  // took 211M instructions against the triangle count's 551M on 200k nodes /
  // 2M edges (callgrind).
  parallel_for_ranges(n, 1024, [&](size_t first, size_t last) {
    int64_t range_balance = 0;
    for (size_t u = first; u < last && undirected.load(std::memory_order_relaxed); ++u) {
      poll_interrupt_every(u - first, 64);
      const uint64_t length = offsets[u + 1] - offsets[u];
      if (length > std::numeric_limits<uint32_t>::max() ||
          (!known_undirected && !undirected_run(offsets, runs.data(), u, range_balance))) {
        undirected.store(false, std::memory_order_relaxed);
        return;
      }
      degrees[u] = static_cast<uint32_t>(length);
    }
    balance.fetch_add(range_balance, std::memory_order_relaxed);
  });
  if (!undirected.load() || balance.load() != 0) return nullptr;
  snap->offsets = offsets;
  snap->degrees = degrees;
  snap->wide = std::is_same_v<Index, uint64_t>;
  if constexpr (std::is_same_v<Index, uint64_t>) {
    snap->neighbor_index64 = runs;
  } else {
    snap->neighbor_index32 = runs;
  }
  return snap;
}

template std::unique_ptr<CsrSnapshot> CsrSnapshot::over_rows(std::span<const uint64_t>, std::span<const uint32_t>,
                                                             bool);
template std::unique_ptr<CsrSnapshot> CsrSnapshot::over_rows(std::span<const uint64_t>, std::span<const uint64_t>,
                                                             bool);


const CsrSnapshot& SnapshotCache::get_or_build(const GraphState& graph) {
  if (const CsrSnapshot* ready = get()) return *ready;
  std::unique_lock lock(mutex_);
  for (;;) {
    if (const CsrSnapshot* ready = get()) return *ready;
    if (!building_) break;
    done_.wait_for(lock, kInterruptPollInterval);
    lock.unlock();  // polling may take the interpreter back: never while holding the mutex
    poll_interrupt();
    lock.lock();
  }
  building_ = true;
  lock.unlock();
  // Whatever happens, the build ends here: waiters wake, and one of them
  // takes over if it failed.
  struct Ending {
    SnapshotCache& cache;
    std::unique_ptr<CsrSnapshot> built;
    ~Ending() {
      {
        std::lock_guard guard(cache.mutex_);
        if (built) {
          cache.owned_ = std::move(built);
          cache.ready_.store(cache.owned_.get(), std::memory_order_release);
        }
        cache.building_ = false;
      }
      cache.done_.notify_all();
    }
  } ending{*this, nullptr};
  ending.built = build_snapshot(graph);
  const CsrSnapshot& snapshot = *ending.built;
  return snapshot;
}

const CsrSnapshot& ensure_csr(GraphState& graph) { return graph.csr.get_or_build(graph); }

}  // namespace arborvane
