// Compressed-sparse-row snapshot of a graph, built lazily for the analytics
// and cached until the next mutation.
#pragma once

#include <cstdint>
#include <vector>

#include "accel/int_hash.hpp"

namespace arborvane {

class GraphState;

struct CsrSnapshot {
  std::vector<int64_t> node_ids;      // node id at each node index (adjacency iteration order)
  std::vector<uint64_t> offsets;      // n + 1 run boundaries into neighbor_ids
  std::vector<int64_t> neighbor_ids;  // each run sorted ascending (signed)
  std::vector<uint32_t> degrees;      // run lengths
  IdMap<uint64_t> index_of;           // node id -> node index
};

// Returns the cached snapshot, building it first when absent.
const CsrSnapshot& ensure_csr(GraphState& graph);

}  // namespace arborvane
