#include "module/convert.hpp"

namespace arborvane::py {

bool to_unsigned(PyObject* obj, uint64_t* out) {
  int64_t small;
  if (small_int_value(obj, &small) && small >= 0) {
    *out = static_cast<uint64_t>(small);
    return true;
  }
  PyRef index;
  if (!PyLong_Check(obj)) {
    index = PyRef(PyNumber_Index(obj));
    if (!index) return false;
    obj = index.get();
  }
  unsigned long long value = PyLong_AsUnsignedLongLong(obj);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  *out = value;
  return true;
}

bool to_float(PyObject* obj, double* out) {
  if (PyFloat_CheckExact(obj)) {
    *out = PyFloat_AS_DOUBLE(obj);
    return true;
  }
  double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) return false;
  *out = value;
  return true;
}

}  // namespace arborvane::py
