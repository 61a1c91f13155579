// Conversion of sequence arguments (lists of ids, lists of id pairs) into
// contiguous native lists, converted whole before any operation starts.
#include <algorithm>
#include <atomic>

#include "accel/internal_error.hpp"
#include "module/convert.hpp"
#include "module/errors.hpp"

namespace arborvane::py {
namespace {

// Reservations taken from a length that an arbitrary object reports are
// capped: the list grows past this as elements actually arrive.
constexpr Py_ssize_t kUntrustedReserveCap = Py_ssize_t{1} << 16;

std::atomic<PyObject*> g_sequence_abc{nullptr};

// collections.abc.Sequence, imported on first need and kept for the process.
PyObject* sequence_abc() {
  PyObject* existing = g_sequence_abc.load(std::memory_order_acquire);
  if (existing) return existing;
  PyRef module(PyImport_ImportModule("collections.abc"));
  if (!module) return nullptr;
  PyObject* created = PyObject_GetAttrString(module.get(), "Sequence");
  if (!created) return nullptr;
  if (!g_sequence_abc.compare_exchange_strong(existing, created, std::memory_order_acq_rel)) {
    Py_DECREF(created);
    return existing;
  }
  return created;
}

// The checks every sequence argument passes before its elements are read.
// Returns the reported length (0 when asking failed), or -1 with an error set.
Py_ssize_t check_sequence(PyObject* obj, size_t length_limit) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return -1;
  }
  if (!PySequence_Check(obj)) {
    if (PyObject* abc = sequence_abc()) raise_type_mismatch(obj, abc);
    return -1;
  }
  Py_ssize_t length = PyObject_Size(obj);
  if (length < 0) {
    PyErr_Clear();
    return 0;
  }
  if (static_cast<size_t>(length) >= length_limit) throw InternalError("capacity overflow");
  return length;
}

PyObject* next_item(PyObject* iterator, bool* failed) {
#if PY_VERSION_HEX >= 0x030E0000
  PyObject* item = nullptr;
  *failed = PyIter_NextItem(iterator, &item) < 0;
  return item;
#else
  PyObject* item = PyIter_Next(iterator);
  *failed = !item && PyErr_Occurred();
  return item;
#endif
}

// Reads every element through the iterator protocol; convert(item, out)
// appends one element or returns false with an error set.
template <class T, class Convert>
bool collect(PyObject* obj, Py_ssize_t reported_length, std::vector<T>& out, Convert&& convert) {
  out.clear();
  out.reserve(static_cast<size_t>(std::min(reported_length, kUntrustedReserveCap)));
  PyRef iterator(PyObject_GetIter(obj));
  if (!iterator) return false;
  for (;;) {
    bool failed = false;
    PyRef item(next_item(iterator.get(), &failed));
    if (failed) return false;
    if (!item) return true;
    if (!convert(item.get(), out)) return false;
  }
}

bool convert_id(PyObject* item, std::vector<int64_t>& out) {
  int64_t id;
  if (!to_node_id(item, &id)) return false;
  out.push_back(id);
  return true;
}

bool convert_pair(PyObject* item, std::vector<IdPair>& out) {
  if (!PyTuple_Check(item)) {
    raise_type_mismatch(item, reinterpret_cast<PyObject*>(&PyTuple_Type));
    return false;
  }
  Py_ssize_t size = PyTuple_GET_SIZE(item);
  if (size != 2) {
    PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", size);
    return false;
  }
  IdPair pair;
  if (!to_node_id(PyTuple_GET_ITEM(item, 0), &pair.first)) return false;
  if (!to_node_id(PyTuple_GET_ITEM(item, 1), &pair.second)) return false;
  out.push_back(pair);
  return true;
}

}  // namespace

bool to_id_list(PyObject* obj, std::vector<int64_t>& out) {
  Py_ssize_t length = check_sequence(obj, size_t{1} << 60);
  if (length < 0) return false;
  return collect(obj, length, out, convert_id);
}

bool to_pair_list(PyObject* obj, std::vector<IdPair>& out) {
  Py_ssize_t length = check_sequence(obj, size_t{1} << 59);
  if (length < 0) return false;
  return collect(obj, length, out, convert_pair);
}

}  // namespace arborvane::py
