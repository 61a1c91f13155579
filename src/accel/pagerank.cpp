#include "accel/operations.hpp"

namespace arborvane {

std::vector<double> pagerank(GraphState&, double, uint64_t, double) { throw InternalError("not implemented yet"); }

}  // namespace arborvane
