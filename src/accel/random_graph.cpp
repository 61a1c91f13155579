#include "accel/operations.hpp"

namespace arborvane {

void build_random(GraphState&, int64_t, uint64_t, uint64_t) { throw InternalError("not implemented yet"); }

}  // namespace arborvane
