// Bulk loaders: the effect of one add_node / add_edge per element, in list
// order, with the snapshot discarded once per call.
#include "accel/operations.hpp"

namespace arborvane {
namespace {

// An empty map gets room for one node per five pairs up front, so a large
// edge list does not regrow the map over and over.
void make_initial_room(GraphState& graph, size_t pair_count) {
  if (graph.adjacency.empty()) graph.adjacency.reserve(pair_count / 5);
}

}  // namespace

void add_nodes_from(GraphState& graph, std::span<const int64_t> ids) {
  for (int64_t id : ids) graph.insert_node(id);
  graph.invalidate_snapshot();
}

void add_edges_from(GraphState& graph, std::span<const IdPair> pairs) {
  make_initial_room(graph, pairs.size());
  for (const IdPair& p : pairs) graph.insert_edge(p.first, p.second);
  graph.invalidate_snapshot();
}

void add_edges_flat(GraphState& graph, std::span<const int64_t> flat) {
  size_t pair_count = flat.size() / 2;
  if (pair_count > 0) make_initial_room(graph, pair_count);
  for (size_t k = 0; k < pair_count; ++k) graph.insert_edge(flat[2 * k], flat[2 * k + 1]);
  graph.invalidate_snapshot();
}

}  // namespace arborvane
