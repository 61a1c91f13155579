// Whole-graph exports. Each edge is emitted once, from its smaller end
// (signed comparison), in one pass over the adjacency map, which polls for
// Ctrl-C as it goes.
#include "accel/parallel/interrupt.hpp"
#include "accel/store/operations.hpp"

namespace arborvane {
namespace {

// Calls emit(u, v) for every edge once, with u <= v.
template <class Emit>
void for_each_edge(const GraphState& graph, Emit&& emit) {
  graph.adjacency.walk_polling([&](size_t, int64_t u, const NeighborSet& set) {
    set.for_each([&](int64_t v) {
      if (v >= u) emit(u, v);
    });
  });
}

}  // namespace

std::vector<int64_t> node_list(const GraphState& graph) {
  std::vector<int64_t> out;
  reserve_huge(out, graph.adjacency.size());
  graph.adjacency.walk_polling([&](size_t, int64_t id, const NeighborSet&) { out.push_back(id); });
  return out;
}

std::vector<IdPair> edge_list(const GraphState& graph) {
  std::vector<IdPair> out;
  reserve_huge(out, graph.edge_count);
  for_each_edge(graph, [&](int64_t u, int64_t v) { out.push_back({u, v}); });
  return out;
}

std::vector<int64_t> edge_list_flat(const GraphState& graph) {
  std::vector<int64_t> out;
  reserve_huge(out, 2 * graph.edge_count);
  for_each_edge(graph, [&](int64_t u, int64_t v) {
    out.push_back(u);
    out.push_back(v);
  });
  return out;
}

std::vector<std::pair<int64_t, uint64_t>> degree_list(const GraphState& graph) {
  std::vector<std::pair<int64_t, uint64_t>> out;
  reserve_huge(out, graph.adjacency.size());
  graph.adjacency.walk_polling(
      [&](size_t, int64_t id, const NeighborSet& set) { out.emplace_back(id, set.size()); });
  return out;
}

}  // namespace arborvane
