// The graph operations that the Python boundary calls, on native values only.
// Each lives in the source file named after its concern.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "accel/store/graph_state.hpp"
#include "accel/support/uninitialized_buffer.hpp"

namespace arborvane {

// bulk_load.cpp
void add_nodes_from(GraphState& graph, std::span<const int64_t> ids);
void add_edges_from(GraphState& graph, std::span<const IdPair> pairs);
void add_edges_flat(GraphState& graph, std::span<const int64_t> flat);
// Pairs (u[k], v[k]) of two arrays of equal length, as add_edges_flat would.
void add_edge_arrays(GraphState& graph, std::span<const int64_t> u, std::span<const int64_t> v);

// bulk_export.cpp
std::vector<int64_t> node_list(const GraphState& graph);
std::vector<IdPair> edge_list(const GraphState& graph);
std::vector<int64_t> edge_list_flat(const GraphState& graph);
std::vector<std::pair<int64_t, uint64_t>> degree_list(const GraphState& graph);

// batch_membership.cpp: one answer (0 or 1) per pair, in input order.
std::vector<uint8_t> has_edges(const GraphState& graph, std::span<const IdPair> pairs);

// random_graph.cpp
void build_random(GraphState& graph, int64_t n, uint64_t m, uint64_t seed);

// pagerank.cpp: scores in snapshot node order (graph.csr->node_ids).
// *converged (when given) tells whether the change fell below tol before
// max_iter iterations ran out (true for a graph without nodes).
UninitializedBuffer<double> pagerank(GraphState& graph, double damping, uint64_t max_iter, double tol,
                                     bool* converged = nullptr);

// triangle_count.cpp
uint64_t triangle_count(GraphState& graph);

// shortest_path.cpp, connected_components.cpp, subgraph_edge_count.cpp
int64_t shortest_path_length(const GraphState& graph, int64_t source, int64_t target);
std::vector<uint64_t> connected_component_sizes(const GraphState& graph);
uint64_t subgraph_edge_count(const GraphState& graph, std::span<const int64_t> ids);

}  // namespace arborvane
