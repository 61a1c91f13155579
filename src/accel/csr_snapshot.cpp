#include "accel/csr_snapshot.hpp"

#include "accel/graph_state.hpp"

namespace arborvane {

const CsrSnapshot& ensure_csr(GraphState&) { throw InternalError("not implemented yet"); }

}  // namespace arborvane
