// Native state of one graph: adjacency map, edge counter and the cached CSR
// snapshot, with the insertion primitives that every mutation goes through.
//
// Invariants kept by every operation: symmetry (v in set(u) iff u in set(v)),
// closure (every neighbour is a key), edge_count = number of distinct
// undirected edges (a self-loop counts once), growth only, and `csr` either
// absent or describing the current adjacency exactly.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <tuple>

#include "accel/parallel/interrupt.hpp"
#include "accel/snapshot/csr_snapshot.hpp"
#include "accel/store/int_hash.hpp"
#include "accel/store/neighbor_set.hpp"
#include "accel/store/set_block_pool.hpp"
#include "accel/support/platform.hpp"

namespace arborvane {

using AdjacencyMap = IdMap<NeighborSet>;

struct IdPair {
  int64_t first;
  int64_t second;
};

// Hands memory that the allocator holds free back to the system: the old
// blocks and hash tables that a compaction frees would otherwise stay in
// the process (glibc keeps freed chunks below its heap top).
inline void return_free_memory() noexcept { platform::trim_free_memory(); }

class GraphState {
 public:
  static constexpr size_t kInitialNodeRoom = 1024;
  // Bulk insertions below this many new edges leave the sets as they grew.
  static constexpr uint64_t kCompactFromEdges = 1 << 16;

  // The map acts as a table with room for kInitialNodeRoom nodes from the
  // start, but a graph of a few nodes stores them compactly.
  GraphState() { adjacency_.reserve_compact(kInitialNodeRoom); }
  GraphState(const GraphState&) = delete;
  GraphState& operator=(const GraphState&) = delete;

  // The store changes only through a Mutation, and a Mutation is only had
  // from begin_mutation(), which discards the snapshot before anything
  // changes: a mutation that stops part way (out of memory, interrupted)
  // can never leave a snapshot of an older graph behind. Every mutating
  // operation calls it once its arguments are converted and checked, also
  // when it ends up changing nothing.
  class Mutation {
   public:
    // Node insertion: adds (n, empty set) when n is not a node yet.
    void insert_node(int64_t n) { graph_.adjacency_.try_emplace(n); }

    // Edge insertion: u enters the map before v; room is made in both
    // neighbour sets before either changes. A failed allocation or a stop
    // (the growth of a large map or set polls for Ctrl-C) changes nothing:
    // an end that this call added to the map is taken out again, and of
    // the two sets only the first may be rebuilt larger, so once it has
    // been the second's rebuild runs to the end. Returns true when the
    // edge is new.
    [[gnu::always_inline]] bool insert_edge(int64_t u, int64_t v) {
      AdjacencyMap& adjacency = graph_.adjacency_;
      SetBlockPool& blocks = graph_.set_blocks_;
      auto [set_u, u_new] = adjacency.try_emplace(u);
      if (set_u->contains(v)) return false;
      if (u == v) {
        undo_on_failure(u_new, u, [&] { set_u->reserve_one_more(u, blocks); });
        set_u->insert_new(u);
        ++graph_.edge_count_;
        return true;
      }
      const uint64_t layout = adjacency.layout_version();
      NeighborSet* set_v = nullptr;
      bool v_new = false;
      undo_on_failure(u_new, u, [&] { std::tie(set_v, v_new) = adjacency.try_emplace(v); });
      if (adjacency.layout_version() != layout) set_u = adjacency.find(u);
      // A new end's set is empty and takes its first id without growing,
      // so at most one end is new where a reservation can fail.
      undo_on_failure(u_new || v_new, u_new ? u : v, [&] {
        const bool rebuilt = set_u->reserve_one_more(v, blocks);
        set_v->reserve_one_more(u, blocks, !rebuilt);
      });
      set_u->insert_new(v);
      set_v->insert_new(u);
      ++graph_.edge_count_;
      return true;
    }

    // Room for `nodes` nodes in the map (no observable change).
    void reserve_nodes(size_t nodes) { graph_.adjacency_.reserve(nodes); }

    // For loaders that rebuild a graph from a checked image, set by set:
    // node insertion that tells whether n is new; the set of a node, valid
    // until the next node insertion; adding an id known to be absent from
    // that set (the other end is added by the loader too, keeping symmetry);
    // and counting the edges so made.
    bool insert_new_node(int64_t n) { return graph_.adjacency_.try_emplace(n).second; }
    NeighborSet& set_of(int64_t n) { return *graph_.adjacency_.find(n); }
    void append_neighbor(NeighborSet& set, int64_t id) {
      set.reserve_one_more(id, graph_.set_blocks_);
      set.insert_new(id);
    }
    void count_loaded_edges(uint64_t edges) { graph_.edge_count_ += edges; }

    // Ends a bulk insertion that made `new_edges` edges. When they are at
    // least half of the graph's edges (so this happens O(log m) times while
    // a graph grows, and costs O(1) per edge overall), every neighbour set
    // moves into one block of exact-size sets and the growth slack of the
    // old blocks is returned. Iteration orders of array-shaped sets stay
    // as they are; hash-shaped sets become sorted by hash.
    //
    // Both passes poll for Ctrl-C (16M nodes take about a second). A stop
    // while the sets move leaves the moved ones in their new blocks, which
    // the graph keeps beside the old: every edge is in by then, and the
    // sets not yet moved stay as they grew.
    void finish_bulk_insertion(uint64_t new_edges) {
      if (new_edges < kCompactFromEdges || new_edges * 2 < graph_.edge_count_) return;
      AdjacencyMap& adjacency = graph_.adjacency_;
      size_t ids = 0;
      adjacency.walk_polling([&](size_t, int64_t, const NeighborSet& set) { ids += set.compact_ids(); });
      {
        SetBlockPool exact;
        exact.reserve_exact(ids);  // the only allocation: nothing has changed if it fails
        try {
          adjacency.walk_polling([&](size_t, int64_t, NeighborSet& set) { set.compact_into(exact); });
        } catch (...) {
          graph_.set_blocks_.adopt(exact);
          throw;
        }
        graph_.set_blocks_.swap(exact);  // the old blocks go with `exact`
      }
      return_free_memory();
    }

   private:
    friend class GraphState;
    explicit Mutation(GraphState& graph) noexcept : graph_(graph) {}

    // step(); should it throw, the node `added` leaves the map again when
    // `undo` (it was the map's latest insertion).
    template <class Step>
    [[gnu::always_inline]] void undo_on_failure(bool undo, int64_t added, const Step& step) {
      try {
        step();
      } catch (...) {
        if (undo) graph_.adjacency_.undo_insertion(added);
        throw;
      }
    }

    GraphState& graph_;
  };

  Mutation begin_mutation() noexcept {
    csr.reset();
    return Mutation(*this);
  }

 private:
  // Declared first, so that it outlives the sets whose arrays it holds.
  SetBlockPool set_blocks_;
  AdjacencyMap adjacency_;
  uint64_t edge_count_ = 0;

 public:
  // Read access for queries and analytics; changes go through a Mutation.
  const AdjacencyMap& adjacency{adjacency_};
  const uint64_t& edge_count{edge_count_};
  // Built by ensure_csr (readers may ask together), discarded by begin_mutation.
  SnapshotCache csr;

  const NeighborSet* neighbors_of(int64_t n) const noexcept { return adjacency_.find(n); }
};

}  // namespace arborvane
