// Compressed-sparse-row snapshot of a graph, built lazily for the analytics
// and cached until the next mutation.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

#include "accel/int_hash.hpp"

namespace arborvane {

class GraphState;

// Only what the analytics read is kept: the neighbour ids of each run and
// the id -> index map are needed while the runs are built, not afterwards,
// so the snapshot stores the runs as node indices alone.
struct CsrSnapshot {
  std::vector<int64_t> node_ids;   // node id at each node index (adjacency iteration order)
  std::vector<uint64_t> offsets;   // n + 1 run boundaries into the neighbour-index runs
  std::vector<uint32_t> degrees;   // run lengths

  // Each node's neighbours as node indices, each run sorted ascending by
  // index: the order in which PageRank adds up a node's incoming shares,
  // and the layout the triangle count works on. 32-bit indices while they
  // fit (half the memory traffic), 64-bit otherwise; exactly one is filled.
  std::vector<uint32_t> neighbor_index32;
  std::vector<uint64_t> neighbor_index64;

  size_t node_count() const noexcept { return node_ids.size(); }
  uint64_t entry_count() const noexcept { return offsets.empty() ? 0 : offsets.back(); }
  static bool needs_wide_index(size_t nodes) noexcept { return nodes > std::numeric_limits<uint32_t>::max(); }

  // Bytes held by the snapshot's arrays (their lengths, not their capacity).
  size_t bytes() const noexcept {
    return node_ids.size() * sizeof(int64_t) + offsets.size() * sizeof(uint64_t) +
           degrees.size() * sizeof(uint32_t) + neighbor_index32.size() * sizeof(uint32_t) +
           neighbor_index64.size() * sizeof(uint64_t);
  }

  // Calls f with a pointer to the index-sorted runs (uint32_t or uint64_t).
  template <class F>
  decltype(auto) with_neighbor_index(F&& f) const {
    if (needs_wide_index(node_count())) return f(neighbor_index64.data());
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

// Returns the cached snapshot, building it first when absent.
const CsrSnapshot& ensure_csr(GraphState& graph);

}  // namespace arborvane
