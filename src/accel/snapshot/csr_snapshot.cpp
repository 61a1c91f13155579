// Builds the CSR snapshot: node order is the adjacency map's iteration order,
// and each run holds the node's neighbours as node indices sorted by index.
// A temporary id -> index map turns neighbour ids into indices; it and the
// per-node id buffers are freed when the build ends. The per-node copy,
// look-ups and sort run on the worker pool; each node writes only its own
// run, so the result is the same for every thread count. Readers that ask
// for the snapshot together meet in SnapshotCache::get_or_build: one builds,
// the others wait for it.
#include "accel/snapshot/csr_snapshot.hpp"

#include <algorithm>
#include <memory>

#include "accel/store/graph_state.hpp"
#include "accel/parallel/interrupt.hpp"
#include "accel/parallel/worker_pool.hpp"

namespace arborvane {

namespace {

constexpr uint64_t kLookAhead = 8;

template <class Index>
void fill_runs(CsrSnapshot& snap, const std::vector<const NeighborSet*>& sets, const IdMap<uint64_t>& index_of,
               std::vector<Index>& index_runs) {
  index_runs.resize(snap.offsets.back());
  parallel_for_ranges(sets.size(), 256, [&](size_t first, size_t last) {
    std::vector<int64_t> ids;
    for (size_t i = first; i < last; ++i) {
      poll_interrupt_every(i - first, 1024);
      uint64_t begin = snap.offsets[i], length = snap.offsets[i + 1] - begin;
      ids.resize(length);
      sets[i]->copy_to(ids.data());
      Index* indices = index_runs.data() + begin;
      for (uint64_t k = 0; k < std::min(length, kLookAhead); ++k) index_of.prefetch(ids[k]);
      for (uint64_t k = 0; k < length; ++k) {
        // Each lookup is a likely cache miss in a large map: touch the home
        // slot of an id a few entries ahead so the misses overlap.
        if (k + kLookAhead < length) index_of.prefetch(ids[k + kLookAhead]);
        const uint64_t* index = index_of.find(ids[k]);
        if (!index) throw InternalError("no entry found for key");
        indices[k] = static_cast<Index>(*index);
      }
      std::sort(indices, indices + length);
    }
  });
}

std::unique_ptr<CsrSnapshot> build_snapshot(const GraphState& graph) {
  auto snap = std::make_unique<CsrSnapshot>();
  size_t n = graph.adjacency.size();

  std::vector<const NeighborSet*> sets;
  sets.reserve(n);
  snap->node_ids.reserve(n);
  snap->position_samples.reserve((n + CsrSnapshot::kPositionStride - 1) / CsrSnapshot::kPositionStride);
  // Inlined: a call per node would cost as much as the node's own work.
  graph.adjacency.walk(0, graph.adjacency.position_count(),
                       [&](size_t position, int64_t id, const NeighborSet& set) __attribute__((always_inline)) {
    if (sets.size() % CsrSnapshot::kPositionStride == 0) snap->position_samples.push_back(position);
    snap->node_ids.push_back(id);
    sets.push_back(&set);
  });

  IdMap<uint64_t> index_of;
  if (n > 0) index_of.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    poll_interrupt_every(i, 65536);
    *index_of.try_emplace(snap->node_ids[i]).first = i;
  }

  snap->offsets.resize(n + 1);
  snap->degrees.resize(n);
  snap->offsets[0] = 0;
  for (size_t i = 0; i < n; ++i) {
    snap->degrees[i] = sets[i]->size();
    snap->offsets[i + 1] = snap->offsets[i] + sets[i]->size();
  }

  if (CsrSnapshot::needs_wide_index(n)) {
    fill_runs(*snap, sets, index_of, snap->neighbor_index64);
  } else {
    fill_runs(*snap, sets, index_of, snap->neighbor_index32);
  }
  return snap;
}

}  // namespace

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
