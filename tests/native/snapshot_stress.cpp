// Readers asking for one graph's snapshot at the same time, for a
// ThreadSanitizer build (see components_stress.cpp for the commands). Each
// round changes the graph (dropping the snapshot), then several threads run
// PageRank on it together: one builds the snapshot while the others wait,
// and every thread must read the same snapshot and get the same bits. First,
// a build stopped part way must leave the snapshot absent, for the next
// caller to build.
// Exits non-zero (with a message) on a wrong result.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "accel/parallel/interrupt.hpp"
#include "accel/store/graph_state.hpp"
#include "accel/kernels/analytics.hpp"
#include "accel/store/operations.hpp"

using namespace arborvane;

namespace {

class StopAtOnce final : public StopSource {
 public:
  bool stop_requested() override { return true; }
};

}  // namespace

int main() {
  setenv("RAYON_NUM_THREADS", "4", 1);
  GraphState graph;
  build_random(graph, 20000, 80000, 5);
  int failures = 0;
  {
    StopAtOnce stop;
    InterruptScope scope(stop);
    std::this_thread::sleep_for(2 * kInterruptPollInterval);  // the first poll then asks at once
    bool stopped = false;
    try {
      ensure_csr(graph);
    } catch (const Interrupted&) {
      stopped = true;
    }
    if (!stopped || graph.csr) {
      std::fprintf(stderr, "FAILED: a stopped build %s\n", stopped ? "left a snapshot" : "did not stop");
      ++failures;
    }
  }
  for (int round = 0; round < 8; ++round) {
    graph.begin_mutation().insert_edge(round, 20000 + round);
    std::vector<const CsrSnapshot*> seen(4);
    std::vector<UninitializedBuffer<double>> scores(4);
    std::vector<std::thread> readers;
    for (size_t t = 0; t < seen.size(); ++t) {
      readers.emplace_back([&, t] {
        seen[t] = &ensure_csr(graph);
        scores[t] = pagerank(graph, 0.85, 30, 0.0);
      });
    }
    for (auto& reader : readers) reader.join();
    for (size_t t = 1; t < seen.size(); ++t) {
      const bool same_bits = scores[t].size() == scores[0].size() &&
                             std::memcmp(scores[t].data(), scores[0].data(), scores[0].size() * sizeof(double)) == 0;
      if (seen[t] != seen[0] || !same_bits) {
        std::fprintf(stderr, "FAILED: round %d, reader %zu read another snapshot or other scores\n", round, t);
        ++failures;
      }
    }
    if (seen[0]->node_count() != graph.adjacency.size()) {
      std::fprintf(stderr, "FAILED: round %d, the snapshot has the wrong node count\n", round);
      ++failures;
    }
  }
  if (failures) return 1;
  std::puts("snapshot_stress: ok");
  return 0;
}
