// Native state of one graph: adjacency map, edge counter and the cached CSR
// snapshot, with the insertion primitives that every mutation goes through.
//
// Invariants kept by every operation: symmetry (v in set(u) iff u in set(v)),
// closure (every neighbour is a key), edge_count = number of distinct
// undirected edges (a self-loop counts once), growth only, and `csr` either
// absent or describing the current adjacency exactly.
#pragma once

#include <cstdint>
#include <memory>

#include "accel/csr_snapshot.hpp"
#include "accel/int_hash.hpp"
#include "accel/neighbor_set.hpp"
#include "accel/set_block_pool.hpp"

namespace arborvane {

using AdjacencyMap = IdMap<NeighborSet>;

struct IdPair {
  int64_t first;
  int64_t second;
};

class GraphState {
 public:
  static constexpr size_t kInitialNodeRoom = 1024;

  GraphState() { adjacency.reserve(kInitialNodeRoom); }

  // Declared first, so that it outlives the sets whose arrays it holds.
  SetBlockPool set_blocks;
  AdjacencyMap adjacency;
  uint64_t edge_count = 0;
  std::unique_ptr<CsrSnapshot> csr;

  // Node insertion: adds (n, empty set) when n is not a node yet.
  void insert_node(int64_t n) { adjacency.try_emplace(n); }

  // Edge insertion: u enters the map before v; room is made in both
  // neighbour sets before either changes, so a failed allocation leaves the
  // sets symmetric. Returns true when the edge is new.
  bool insert_edge(int64_t u, int64_t v) {
    NeighborSet* set_u = adjacency.try_emplace(u).first;
    if (set_u->contains(v)) return false;
    if (u == v) {
      set_u->reserve_one_more(set_blocks);
      set_u->insert_new(u);
      ++edge_count;
      return true;
    }
    size_t slots_before = adjacency.slot_count();
    NeighborSet* set_v = adjacency.try_emplace(v).first;
    if (adjacency.slot_count() != slots_before) set_u = adjacency.find(u);
    set_u->reserve_one_more(set_blocks);
    set_v->reserve_one_more(set_blocks);
    set_u->insert_new(v);
    set_v->insert_new(u);
    ++edge_count;
    return true;
  }

  // Ends every mutation, whether or not it changed anything.
  void invalidate_snapshot() noexcept { csr.reset(); }

  const NeighborSet* neighbors_of(int64_t n) const noexcept { return adjacency.find(n); }
};

}  // namespace arborvane
