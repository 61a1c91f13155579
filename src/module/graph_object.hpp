// Python object layout of an IntGraphCore instance, and the checks that
// find one: as a method's receiver or as a function's graph argument.
#pragma once

#include <atomic>

#include "accel/store/graph_state.hpp"
#include "module/borrow.hpp"
#include "module/py_ref.hpp"

namespace arborvane::py {

struct GraphObject {
  PyObject_HEAD
  BorrowFlag borrow_flag;
  GraphState state;
};

// The IntGraphCore class, created once per process; null with an error set
// when creation fails.
PyObject* graph_type();

namespace graph_detail {
// The class once created (graph_type() creates it).
inline std::atomic<PyObject*> created_type{nullptr};
GraphObject* checked_receiver(PyObject* self);
}  // namespace graph_detail

// The receiver of a method: an object of exactly the class passes with one
// comparison, anything else takes the full check (TypeError on mismatch).
inline GraphObject* graph_receiver(PyObject* self) {
  PyObject* type = graph_detail::created_type.load(std::memory_order_acquire);
  if (type && Py_IS_TYPE(self, reinterpret_cast<PyTypeObject*>(type))) {
    return reinterpret_cast<GraphObject*>(self);
  }
  return graph_detail::checked_receiver(self);
}

// A function's graph argument `name`: anything but an IntGraphCore raises
// TypeError "argument 'g': '{T}' object is not an instance of 'IntGraphCore'".
GraphObject* graph_argument(PyObject* obj, const char* name);

}  // namespace arborvane::py
