// Connected component sizes on the worker pool, for a ThreadSanitizer build:
//   tools/devbuild.sh tsan python3 -DARBORVANE_SANITIZE=thread -DARBORVANE_NATIVE_TESTS=ON
//   build/tsan/components_stress
// Workers unite map positions concurrently; the sizes and their order must
// match a plain breadth-first search over the same adjacency map, for a
// graph with a giant component and for one of many small components.
// Exits non-zero (with a message) on a wrong result.
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <thread>
#include <unordered_set>
#include <vector>

#include "accel/store/graph_state.hpp"
#include "accel/kernels/analytics.hpp"
#include "accel/store/operations.hpp"

using namespace arborvane;

namespace {

std::vector<uint64_t> reference_sizes(const GraphState& graph) {
  std::unordered_set<int64_t> seen;
  std::vector<uint64_t> sizes;
  graph.adjacency.for_each([&](int64_t s, const NeighborSet&) {
    if (!seen.insert(s).second) return;
    std::deque<int64_t> queue{s};
    uint64_t count = 0;
    while (!queue.empty()) {
      int64_t t = queue.front();
      queue.pop_front();
      ++count;
      graph.adjacency.find(t)->for_each([&](int64_t w) {
        if (seen.insert(w).second) queue.push_back(w);
      });
    }
    sizes.push_back(count);
  });
  return sizes;
}

// n ids spread over the whole range, the smallest id among them, joined by
// m pseudo-random edges.
void fill(GraphState& graph, int64_t n, int m, uint64_t seed) {
  std::vector<int64_t> flat;
  uint64_t x = seed;
  auto next_id = [&] {
    x = x * 6364136223846793005ull + 1442695040888963407ull;
    int64_t k = static_cast<int64_t>((x >> 20) % static_cast<uint64_t>(n));
    return k == 0 ? kVacantKey : k * 1000003 - 7 * n;
  };
  for (int e = 0; e < m; ++e) {
    flat.push_back(next_id());
    flat.push_back(next_id());
  }
  add_edges_flat(graph, flat);
}

}  // namespace

int main() {
  setenv("RAYON_NUM_THREADS", "4", 1);
  int failures = 0;
  const struct {
    int64_t n;
    int m;
  } cases[] = {{60000, 240000}, {80000, 30000}};
  std::vector<std::thread> callers;
  for (const auto& c : cases) {
    GraphState graph;
    fill(graph, c.n, c.m, 99);
    std::vector<uint64_t> expected = reference_sizes(graph);
    // Concurrent callers share the pool; each must get the same answer.
    std::vector<std::vector<uint64_t>> got(3);
    for (size_t t = 0; t < got.size(); ++t) {
      callers.emplace_back([&, t] { got[t] = connected_component_sizes(graph); });
    }
    for (auto& caller : callers) caller.join();
    callers.clear();
    for (const auto& sizes : got) {
      if (sizes != expected) {
        std::fprintf(stderr, "FAILED: component sizes for n=%lld m=%d\n", static_cast<long long>(c.n), c.m);
        ++failures;
      }
    }
  }
  if (failures) return 1;
  std::puts("components_stress: ok");
  return 0;
}
