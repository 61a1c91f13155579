// Python object layout of an IntGraphCore instance.
#pragma once

#include <atomic>
#include <cstdint>

#include "accel/store/graph_state.hpp"
#include "module/py_ref.hpp"

namespace arborvane::py {

struct GraphObject {
  PyObject_HEAD
  // 0: free; all ones: exclusively borrowed; otherwise the shared count.
  std::atomic<uintptr_t> borrow_flag;
  GraphState state;
};

// The IntGraphCore class, created once per process; null with an error set
// when creation fails.
PyObject* graph_type();

}  // namespace arborvane::py
