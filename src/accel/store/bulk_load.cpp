// Bulk loaders: the effect of one add_node / add_edge per element, in list
// order, with the snapshot discarded once per call, before the first change.
//
// Loading a large edge list is dominated by cache misses: every edge touches
// the map slots of both ends and both neighbour sets at random places. The
// whole list is known up front, so the slots and then the neighbour sets of
// the edges a few steps ahead are prefetched while the current edge is
// inserted. Prefetching only
// reads; the insertions happen strictly in list order, so the resulting
// history (and every iteration order) is that of one insertion per element.
#include <algorithm>

#include "accel/parallel/interrupt.hpp"
#include "accel/store/operations.hpp"

namespace arborvane {
namespace {

// How far ahead the memory of coming edges is requested, in two stages: the
// map slots of the edge kSlotLookahead steps ahead, then, kSetLookahead steps
// ahead (its slots cached by now), the neighbour-set memory that the
// insertion will scan and write.
constexpr size_t kSlotLookahead = 32;
constexpr size_t kSetLookahead = 16;

// An empty map gets room for one node per five pairs up front, so a large
// edge list does not regrow the map over and over.
void make_initial_room(GraphState& graph, GraphState::Mutation& change, size_t pair_count) {
  if (graph.adjacency.empty()) change.reserve_nodes(pair_count / 5);
}

// Asks for the neighbour-set memory that inserting the edge will touch:
// the set of the first end is searched, the other one only written.
inline void prefetch_sets(const AdjacencyMap& map, IdPair p) noexcept {
  if (const NeighborSet* set = map.find(p.first)) set->prefetch(p.second);
  if (const NeighborSet* set = map.find(p.second)) set->prefetch_insertion(p.first);
}

// Applies pair(k) for k in [0, count) with the memory of later pairs
// requested ahead of time.
template <class Pair>
void insert_edges(GraphState& graph, GraphState::Mutation& change, size_t count, Pair&& pair) {
  const AdjacencyMap& map = graph.adjacency;
  size_t warm = std::min(count, kSlotLookahead);
  for (size_t k = 0; k < warm; ++k) {
    IdPair p = pair(k);
    map.prefetch(p.first);
    map.prefetch(p.second);
  }
  for (size_t k = 0; k < count; ++k) {
    poll_interrupt_every(k);
    if (k + kSlotLookahead < count) {
      IdPair ahead = pair(k + kSlotLookahead);
      map.prefetch(ahead.first);
      map.prefetch(ahead.second);
    }
    if (k + kSetLookahead < count) prefetch_sets(map, pair(k + kSetLookahead));
    IdPair p = pair(k);
    change.insert_edge(p.first, p.second);
  }
}

}  // namespace

void add_nodes_from(GraphState& graph, std::span<const int64_t> ids) {
  GraphState::Mutation change = graph.begin_mutation();
  for (size_t k = 0; k < ids.size(); ++k) {
    poll_interrupt_every(k);
    if (k + kSlotLookahead < ids.size()) graph.adjacency.prefetch(ids[k + kSlotLookahead]);
    change.insert_node(ids[k]);
  }
}

namespace {

// One bulk edge load: pair(k) for k in [0, count), in order, as one mutation.
template <class Pair>
void load_edges(GraphState& graph, size_t count, Pair&& pair) {
  GraphState::Mutation change = graph.begin_mutation();
  const uint64_t edges_before = graph.edge_count;
  if (count > 0) make_initial_room(graph, change, count);
  insert_edges(graph, change, count, pair);
  change.finish_bulk_insertion(graph.edge_count - edges_before);
}

}  // namespace

void add_edges_from(GraphState& graph, std::span<const IdPair> pairs) {
  load_edges(graph, pairs.size(), [&](size_t k) { return pairs[k]; });
}

void add_edges_flat(GraphState& graph, std::span<const int64_t> flat) {
  load_edges(graph, flat.size() / 2, [&](size_t k) { return IdPair{flat[2 * k], flat[2 * k + 1]}; });
}

// The same as add_edges_flat on u[0], v[0], u[1], v[1], ... (two arrays of
// equal length), without interleaving them first.
void add_edge_arrays(GraphState& graph, std::span<const int64_t> u, std::span<const int64_t> v) {
  load_edges(graph, std::min(u.size(), v.size()), [&](size_t k) { return IdPair{u[k], v[k]}; });
}

}  // namespace arborvane
