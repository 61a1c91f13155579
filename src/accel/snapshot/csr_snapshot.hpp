// Compressed-sparse-row snapshot of a graph, built lazily for the analytics
// and cached until the next mutation.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "accel/store/int_hash.hpp"

namespace arborvane {

class GraphState;

// Only what the analytics read is kept: the neighbour ids of each run and
// the id -> index map are needed while the runs are built, not afterwards,
// so the snapshot stores the runs as node indices alone.
//
// The kernels read the snapshot through views (spans), so one kernel serves
// two owners of the arrays: a snapshot built from the store keeps them in
// its own storage (build_snapshot), and one over compressed sparse rows that
// the caller owns (over_rows, for arborvane.Graph's numpy arrays) borrows
// them and computes only the degrees.
struct CsrSnapshot {
  std::span<const int64_t> node_ids;   // node id at each node index (adjacency iteration order); empty over rows
  std::span<const uint64_t> offsets;   // n + 1 run boundaries into the neighbour-index runs
  std::span<const uint32_t> degrees;   // run lengths

  // Each node's neighbours as node indices, each run sorted ascending by
  // index: the order in which PageRank adds up a node's incoming shares,
  // and the layout the triangle count works on. 32-bit indices while they
  // fit (half the memory traffic), 64-bit otherwise; exactly one is filled
  // (wide tells which).
  std::span<const uint32_t> neighbor_index32;
  std::span<const uint64_t> neighbor_index64;
  bool wide = false;

  // The map position of every kPositionStride-th node: enough to find a
  // node's index from its map position with no table of n entries
  // (index_at). Positions ascend with node indices (both follow the map's
  // iteration order). Empty over rows.
  static constexpr size_t kPositionStride = 64;
  std::span<const uint64_t> position_samples;
  static constexpr size_t kNoIndex = static_cast<size_t>(-1);

  // The arrays a snapshot holds itself; the views above point into them.
  // On the heap, so that moving a snapshot leaves the views valid.
  struct Storage {
    std::vector<int64_t> node_ids;
    std::vector<uint64_t> offsets;
    std::vector<uint32_t> degrees;
    std::vector<uint32_t> neighbor_index32;
    std::vector<uint64_t> neighbor_index64;
    std::vector<uint64_t> position_samples;
  };
  std::unique_ptr<Storage> storage;

  // Points the views at `storage`'s arrays (after they were filled).
  void view_storage() noexcept {
    node_ids = storage->node_ids;
    offsets = storage->offsets;
    degrees = storage->degrees;
    neighbor_index32 = storage->neighbor_index32;
    neighbor_index64 = storage->neighbor_index64;
    position_samples = storage->position_samples;
  }

  // A snapshot over the undirected compressed sparse rows `offsets` (n + 1
  // entries) and `runs` (uint32_t or uint64_t node indices), which the
  // caller owns and keeps unchanged while the snapshot is read; only the
  // degrees (n uint32 values) are computed. The rows must have passed
  // valid_csr (csr_graph.hpp). Returns null unless they are an undirected
  // graph as the kernels read one: every run strictly ascending, every
  // entry (u, v) matched by an entry (v, u), no run of 2^32 or more
  // entries. `known_undirected`: the caller vouches for the first two (rows
  // that the CSR build wrote), which are then not checked; the run lengths
  // still are. Polls for Ctrl-C.
  template <class Index>
  static std::unique_ptr<CsrSnapshot> over_rows(std::span<const uint64_t> offsets, std::span<const Index> runs,
                                                bool known_undirected = false);

  size_t node_count() const noexcept { return degrees.size(); }
  uint64_t entry_count() const noexcept { return offsets.empty() ? 0 : offsets.back(); }
  static bool needs_wide_index(size_t nodes) noexcept { return nodes > std::numeric_limits<uint32_t>::max(); }

  // Bytes held by the snapshot's arrays (their lengths, not their capacity).
  size_t bytes() const noexcept {
    return node_ids.size() * sizeof(int64_t) + offsets.size() * sizeof(uint64_t) +
           degrees.size() * sizeof(uint32_t) + neighbor_index32.size() * sizeof(uint32_t) +
           neighbor_index64.size() * sizeof(uint64_t) + position_samples.size() * sizeof(uint64_t);
  }

  // The index of node `id`, whose map position is `position`: the samples
  // narrow it to one stretch of kPositionStride nodes, which is then
  // scanned for the id. The answer is checked against the id, so a map
  // whose order differed from the snapshot's would only give kNoIndex,
  // never a wrong index.
  size_t index_at(int64_t id, uint64_t position) const noexcept {
    auto after = std::upper_bound(position_samples.begin(), position_samples.end(), position);
    if (after == position_samples.begin()) return kNoIndex;
    const size_t begin = static_cast<size_t>(after - position_samples.begin() - 1) * kPositionStride;
    const size_t end = std::min(node_ids.size(), begin + kPositionStride);
    for (size_t i = begin; i < end; ++i) {
      if (node_ids[i] == id) return i;
    }
    return kNoIndex;
  }

  // Calls f with a pointer to the index-sorted runs (uint32_t or uint64_t).
  template <class F>
  decltype(auto) with_neighbor_index(F&& f) const {
    if (wide) return f(neighbor_index64.data());
    return f(neighbor_index32.data());
  }
};

// Degree of node index u without its self-loop, if any: the runs are
// sorted by index, so a loop is found by binary search.
template <class Index>
uint64_t loop_free_degree(const CsrSnapshot& snap, const Index* runs, size_t u) noexcept {
  const Index* begin = runs + snap.offsets[u];
  const Index* end = runs + snap.offsets[u + 1];
  return static_cast<uint64_t>(end - begin) - std::binary_search(begin, end, static_cast<Index>(u));
}

// The cached snapshot of one graph. Readers may ask for it at the same time
// (they all hold the graph's shared borrow): the first to find it absent
// builds it while the others wait, then all read the same snapshot. A build
// that fails (out of memory, interrupted) leaves it absent, and the next
// caller, a waiting one included, builds it again. The graph cannot change
// meanwhile: mutations need the exclusive borrow.
class SnapshotCache {
 public:
  // The snapshot, or null while absent.
  const CsrSnapshot* get() const noexcept { return ready_.load(std::memory_order_acquire); }
  const CsrSnapshot* operator->() const noexcept { return get(); }
  explicit operator bool() const noexcept { return get() != nullptr; }

  // Drops the snapshot. Only while nobody else reads the graph.
  void reset() noexcept {
    ready_.store(nullptr, std::memory_order_relaxed);
    owned_.reset();
  }

  // The snapshot of `graph` (whose cache this is), built when absent. A
  // waiting caller polls for Ctrl-C (parallel/interrupt.hpp).
  const CsrSnapshot& get_or_build(const GraphState& graph);

 private:
  std::unique_ptr<CsrSnapshot> owned_;
  std::atomic<const CsrSnapshot*> ready_{nullptr};
  std::mutex mutex_;               // guards building_ and the hand-over
  std::condition_variable done_;   // a build ended, well or not
  bool building_ = false;
};

// Returns the cached snapshot, building it first when absent.
const CsrSnapshot& ensure_csr(GraphState& graph);

}  // namespace arborvane
