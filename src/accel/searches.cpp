#include "accel/operations.hpp"

namespace arborvane {

int64_t shortest_path_length(const GraphState&, int64_t, int64_t) { throw InternalError("not implemented yet"); }
std::vector<uint64_t> connected_component_sizes(const GraphState&) { throw InternalError("not implemented yet"); }
uint64_t subgraph_edge_count(const GraphState&, std::span<const int64_t>) { throw InternalError("not implemented yet"); }

}  // namespace arborvane
