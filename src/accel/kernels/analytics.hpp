// Every analytic of the engine, declared by what it takes:
//   - the graph (GraphState): queries that work on the adjacency map, or on
//     the cached snapshot when there is one, and never build it; and the
//     kernels that build the snapshot first;
//   - a CSR snapshot already built: whole-graph analytics.
// Each lives in the source file named after it (see the placement rule in
// ARCHITECTURE.md).
//
// Every per-node result is written to `out`, one element per snapshot node
// index (the order of nodes()), every element written. All results are
// exact and the same bits for any number of worker threads. Long loops poll
// for Ctrl-C (interrupt.hpp).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "accel/snapshot/csr_snapshot.hpp"
#include "accel/store/graph_state.hpp"
#include "accel/support/uninitialized_buffer.hpp"

namespace arborvane {

// ---- on the graph -------------------------------------------------------------

// shortest_path.cpp: hops between two ids, -1 when either is not a node or
// no path joins them (0 from a node to itself).
int64_t shortest_path_length(const GraphState& graph, int64_t source, int64_t target);

// connected_components.cpp: component sizes, in the order in which a walk
// over the nodes meets each component first.
std::vector<uint64_t> connected_component_sizes(const GraphState& graph);

// subgraph_edge_count.cpp: edges with both ends among `ids`.
uint64_t subgraph_edge_count(const GraphState& graph, std::span<const int64_t> ids);

// pagerank.cpp (builds the snapshot): scores in snapshot node order
// (graph.csr->node_ids). *converged (when given) tells whether the change
// fell below tol before max_iter iterations ran out (true without nodes).
UninitializedBuffer<double> pagerank(GraphState& graph, double damping, uint64_t max_iter, double tol,
                                     bool* converged = nullptr);

// triangle_count.cpp (builds the snapshot).
uint64_t triangle_count(GraphState& graph);

// ---- on the snapshot ------------------------------------------------------------
//
// A snapshot built from the graph's store (ensure_csr), or one over rows
// that the caller owns (CsrSnapshot::over_rows): the same kernel reads
// either.

// pagerank.cpp: pagerank() above, on a snapshot already built.
UninitializedBuffer<double> pagerank(const CsrSnapshot& snap, double damping, uint64_t max_iter, double tol,
                                     bool* converged = nullptr);

// connected_components.cpp: the component of every node, numbered 0, 1, ... in
// the order in which a walk over the nodes meets each component first (the
// order of connected_component_sizes()).
void component_labels(const CsrSnapshot& snap, std::span<int64_t> out);

// bfs_distances.cpp: hops from node index `source` to every node, -1 where
// unreachable. `source` must be below snap.node_count().
void bfs_distances(const CsrSnapshot& snap, size_t source, std::span<int64_t> out);

// core_number.cpp: the k-core number of every node, self-loops ignored.
void core_numbers(const CsrSnapshot& snap, std::span<int64_t> out);

// degree_centrality.cpp: degree / (n - 1) per node, a self-loop counted
// twice (NetworkX's definition); 1.0 for every node when n <= 1.
void degree_centrality(const CsrSnapshot& snap, std::span<double> out);

// clustering.cpp, self-loops ignored throughout.
void clustering(const CsrSnapshot& snap, std::span<double> out);  // local coefficient per node
void node_triangles(const CsrSnapshot& snap, std::span<int64_t> out);  // triangles through each node
double average_clustering(const CsrSnapshot& snap);  // mean of clustering(); 0 without nodes
double transitivity(const CsrSnapshot& snap);        // 3 * triangles / connected triples

// betweenness.cpp: Brandes' betweenness without endpoints, scaled as
// NetworkX scales it for undirected graphs. With `sample`, only that many
// sources drawn by sample_sources(n, *sample, seed) contribute
// (1 <= *sample <= n).
struct BetweennessOptions {
  bool normalized = true;
  std::optional<uint64_t> sample;
  uint64_t seed = 0;
};
void betweenness_centrality(const CsrSnapshot& snap, const BetweennessOptions& options, std::span<double> out);

// k distinct node indices out of [0, n), ascending: the first k positions of
// a partial Fisher-Yates shuffle of 0..n-1 driven by splitmix64(seed), each
// position j drawing uniformly from [j, n) by Lemire's multiply-and-reject.
std::vector<uint64_t> sample_sources(uint64_t n, uint64_t k, uint64_t seed);

// communities.cpp: communities of every node, numbered 0, 1, ... in order
// of first appearance in node order; the same labels for the same seed on
// any number of threads. Louvain and Leiden maximise modularity at
// `resolution` (>= 0) and split every community into its connected parts;
// `iterations` repeats the whole run from the previous result. Label
// propagation ignores the resolution and the iterations.
struct CommunityOptions {
  double resolution = 1.0;
  uint64_t seed = 0;
  uint64_t iterations = 1;
  bool refine = false;  // Leiden's refinement (set by leiden_communities)
};
void louvain_communities(const CsrSnapshot& snap, const CommunityOptions& options, std::span<int64_t> out);
void leiden_communities(const CsrSnapshot& snap, const CommunityOptions& options, std::span<int64_t> out);
void label_propagation_communities(const CsrSnapshot& snap, uint64_t seed, std::span<int64_t> out);

// communities.cpp: modularity of the partition `labels` (one per node
// index, each in [0, n)) as NetworkX defines it, self-loops included:
// sum over communities of L_c / m - resolution (D_c / 2m)^2. The graph must
// have an edge (the boundary answers NaN otherwise).
double modularity(const CsrSnapshot& snap, std::span<const int64_t> labels, double resolution);

// communities.cpp, over the rows of an undirected arborvane.Graph (checked
// valid, weights finite and >= 0, every edge in both rows, a self-loop
// once): Louvain or Leiden (options.refine) with the edge weights, and
// modularity as NetworkX's with weight="weight", a self-loop's weight
// counted twice in its node's degree. The same bits for any thread count.
struct CsrArrays;  // accel/csr_graph/csr_graph.hpp
void rows_communities(const CsrArrays& rows, const CommunityOptions& options, std::span<int64_t> out);
double rows_modularity(const CsrArrays& rows, std::span<const int64_t> labels, double resolution);

// triangle_count.cpp, on a snapshot already built.
uint64_t count_triangles(const CsrSnapshot& snap);

}  // namespace arborvane
