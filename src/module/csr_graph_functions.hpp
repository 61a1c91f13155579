// The functions of arborvane.Graph's native half (csr_graph_functions.cpp),
// added to arborvane._arrays when it is executed.
#pragma once

#include "module/py_ref.hpp"

namespace arborvane::py {

extern PyMethodDef kCsrGraphFunctions[];

}  // namespace arborvane::py
