#include "accel/operations.hpp"

namespace arborvane {

uint64_t triangle_count(GraphState&) { throw InternalError("not implemented yet"); }

}  // namespace arborvane
