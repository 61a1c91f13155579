// Conversion of single argument values to native values, and of native
// results to Python objects. Each to_* returns false with the interpreter's
// own error set; callers report it through argument_error.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "accel/store/graph_state.hpp"
#include "module/background_release.hpp"
#include "module/py_ref.hpp"

namespace arborvane::py {

static_assert(sizeof(long) == sizeof(int64_t), "node ids are converted through C long");

// The value of an int (or int subclass, bool included) that fits in one
// internal digit, read in place; false for any other object. This is the
// value PyLong_AsLong gives for such an int, without the call.
inline bool small_int_value(PyObject* obj, int64_t* out) {
  if (!PyLong_Check(obj)) return false;
  auto* number = reinterpret_cast<PyLongObject*>(obj);
#if PY_VERSION_HEX >= 0x030C0000
  if (!PyUnstable_Long_IsCompact(number)) return false;
  *out = PyUnstable_Long_CompactValue(number);
#else
  Py_ssize_t size = Py_SIZE(obj);
  if (size < -1 || size > 1) return false;
  int64_t magnitude = size == 0 ? 0 : static_cast<int64_t>(number->ob_digit[0]);
  *out = size < 0 ? -magnitude : magnitude;
#endif
  return true;
}

// Signed 64-bit node id: int, bool, int subclasses and __index__ objects.
// PyLong_AsLong (not AsLongLong) gives the interpreter's "C long" messages.
inline bool to_node_id(PyObject* obj, int64_t* out) {
  if (small_int_value(obj, out)) return true;
  long value = PyLong_AsLong(obj);
  if (value == -1 && PyErr_Occurred()) return false;
  *out = value;
  return true;
}

// Unsigned 64-bit count: ints directly, anything else through __index__.
bool to_unsigned(PyObject* obj, uint64_t* out);

// 64-bit float: exact floats read directly, others through __float__/__index__.
bool to_float(PyObject* obj, double* out);

// Sequence arguments (sequence_convert.cpp). Both throw InternalError
// "capacity overflow" when the reported length cannot be allocated.
bool to_id_list(PyObject* obj, std::vector<int64_t>& out);
bool to_pair_list(PyObject* obj, std::vector<IdPair>& out);

// Result conversions; each returns a new reference or null with an error set.
inline PyObject* to_python(int64_t value) { return PyLong_FromLongLong(value); }
inline PyObject* to_python(uint64_t value) { return PyLong_FromUnsignedLongLong(value); }
inline PyObject* to_python(double value) { return PyFloat_FromDouble(value); }
inline PyObject* to_python_bool(bool value) { return Py_NewRef(value ? Py_True : Py_False); }

// A 2-tuple of two new references (both stolen; either may be null after a
// failed conversion, which is then reported). A tuple of ints and floats can
// never be part of a reference cycle, so it is taken out of the cyclic
// collector's lists at once, as the collector itself would do on its next
// pass: large results then cost the collector nothing.
inline PyObject* untracked_pair(PyObject* first, PyObject* second) {
  PyRef a(first), b(second);
  if (!a || !b) return nullptr;
  PyObject* tuple = PyTuple_New(2);
  if (!tuple) return nullptr;
  PyTuple_SET_ITEM(tuple, 0, a.release());
  PyTuple_SET_ITEM(tuple, 1, b.release());
  PyObject_GC_UnTrack(tuple);
  return tuple;
}

// A 2-tuple of two converted values, converted first to second.
template <class A, class B>
PyObject* to_python_pair(A first, B second) {
  PyObject* a = to_python(first);
  return untracked_pair(a, a ? to_python(second) : nullptr);
}

// Items a list fill makes between two looks at pending signals: a few
// milliseconds of item allocations.
inline constexpr size_t kListSignalPeriod = size_t{1} << 16;

// A list created at its final length and filled in place: make(i) returns
// the new reference for element i. While it fills, the list is kept out of
// the cyclic collector: the allocations of its items trigger collections,
// and each one would otherwise walk every item stored so far.
template <class Make>
PyObject* build_list(size_t length, Make&& make) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(length)));
  if (!list) return nullptr;
  PyObject_GC_UnTrack(list.get());
  for (size_t i = 0; i < length; ++i) {
    // A list of millions of items takes seconds: Ctrl-C is answered as the
    // interpreter's own loops answer it, and the items made so far are
    // freed behind the caller's back (the unfilled slots are null, which
    // the list's release allows).
    if ((i & (kListSignalPeriod - 1)) == 0 && i != 0 && PyErr_CheckSignals() < 0) {
      release_partial_list(std::move(list), i);
      return nullptr;
    }
    PyObject* item = make(i);
    if (!item) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  PyObject_GC_Track(list.get());
  return list.release();
}

template <class T>
PyObject* to_python_list(std::span<const T> values) {
  return build_list(values.size(), [&](size_t i) { return to_python(values[i]); });
}

}  // namespace arborvane::py
