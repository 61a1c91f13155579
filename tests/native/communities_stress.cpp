// Community detection on the worker pool, for a ThreadSanitizer build (see
// components_stress.cpp for the commands). A grid with ids in row order
// (local ids: its levels move by blocks) and a random graph (moved by
// sub-rounds), each run twice with Louvain and with Leiden: both runs must
// give the same labels, and the grid's communities must be far fewer than
// its nodes.
// Exits non-zero (with a message) on a wrong result.
#include <cstdio>
#include <span>
#include <vector>

#include "accel/kernels/analytics.hpp"
#include "accel/snapshot/csr_snapshot.hpp"
#include "accel/store/graph_state.hpp"
#include "accel/store/operations.hpp"

using namespace arborvane;

namespace {

int check(const char* name, GraphState& graph) {
  const CsrSnapshot& snap = ensure_csr(graph);
  int failures = 0;
  for (bool refine : {false, true}) {
    const CommunityOptions options{1.0, 7, 2, refine};
    std::vector<int64_t> first(snap.node_count()), second(snap.node_count());
    (refine ? leiden_communities : louvain_communities)(snap, options, std::span<int64_t>(first));
    (refine ? leiden_communities : louvain_communities)(snap, options, std::span<int64_t>(second));
    int64_t communities = 0;
    for (int64_t label : first) communities = std::max(communities, label + 1);
    if (first != second || communities * 10 > static_cast<int64_t>(snap.node_count())) {
      std::fprintf(stderr, "FAILED: %s, %s: %s\n", name, refine ? "Leiden" : "Louvain",
                   first != second ? "two runs differ" : "too many communities");
      ++failures;
    }
  }
  return failures;
}

}  // namespace

int main() {
  constexpr int64_t kSide = 400;  // 160,000 nodes: above the smallest level moved by blocks
  GraphState grid;
  std::vector<int64_t> flat;
  for (int64_t r = 0; r < kSide; ++r) {
    for (int64_t c = 0; c < kSide; ++c) {
      const int64_t v = r * kSide + c;
      if (c + 1 < kSide) flat.insert(flat.end(), {v, v + 1});
      if (r + 1 < kSide) flat.insert(flat.end(), {v, v + kSide});
    }
  }
  add_edges_flat(grid, flat);
  GraphState random;
  build_random(random, 20000, 100000, 3);
  const int failures = check("grid", grid) + check("random graph", random);
  if (failures) return 1;
  std::puts("communities_stress: ok");
  return 0;
}
