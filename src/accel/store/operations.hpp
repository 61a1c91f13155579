// The store's own operations that the Python boundary calls, on native
// values only: loading, exports as lists, membership, generation. Each lives
// in the source file named after its concern. Analytics are kernels
// (kernels/analytics.hpp).
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "accel/store/graph_state.hpp"

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

}  // namespace arborvane
