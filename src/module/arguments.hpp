// Optional scalar arguments: the default when omitted, otherwise the
// conversion, with a failure reported under the parameter's name. Shared by
// the IntGraphCore methods and the functions of arborvane._arrays, so that
// both word their errors alike.
#pragma once

#include "module/convert.hpp"
#include "module/errors.hpp"

namespace arborvane::py {

template <class T>
bool optional_argument(PyObject* obj, const char* name, T fallback, T* out, bool (*convert)(PyObject*, T*)) {
  if (!obj) {
    *out = fallback;
    return true;
  }
  if (convert(obj, out)) return true;
  argument_error(name);
  return false;
}

inline bool arg_unsigned(PyObject* obj, const char* name, uint64_t fallback, uint64_t* out) {
  return optional_argument(obj, name, fallback, out, to_unsigned);
}

inline bool arg_float(PyObject* obj, const char* name, double fallback, double* out) {
  return optional_argument(obj, name, fallback, out, to_float);
}

}  // namespace arborvane::py
