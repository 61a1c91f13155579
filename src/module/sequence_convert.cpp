// Conversion of sequence arguments (lists of ids, lists of id pairs) into
// contiguous native lists, converted whole before any operation starts.
//
// The general path walks the object's iterator and converts element by
// element. Three fast paths give exactly the same values, order and errors:
//   - exact lists and tuples are read in place. Converting an element that
//     is not an int runs its __index__, which may grow, shrink or clear the
//     list being read, so the list is read the way its own iterator reads it
//     (size re-read at every step, a reference held on the item while it is
//     converted);
//   - contiguous or strided 1-D integer buffers of exact known types (bytes,
//     bytearray, array.array, memoryview, numpy.ndarray), whose iteration
//     yields exactly the buffer's values, are read without creating a Python
//     object per element.
#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <limits>
#include <type_traits>

#include "accel/support/internal_error.hpp"
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

// An int or int subclass converts without running Python code; reads the
// value straight from the object when it is small, as the interpreter would.
inline bool int_to_id(PyObject* item, int64_t* out) {
#if PY_VERSION_HEX >= 0x030C0000
  auto* number = reinterpret_cast<PyLongObject*>(item);
  if (PyUnstable_Long_IsCompact(number)) {
    *out = PyUnstable_Long_CompactValue(number);
    return true;
  }
#else
  Py_ssize_t digits = Py_SIZE(item);
  if (digits >= -1 && digits <= 1) {
    *out = digits * static_cast<int64_t>(reinterpret_cast<PyLongObject*>(item)->ob_digit[0]);
    return true;
  }
#endif
  return to_node_id(item, out);
}

// Long conversions let the interpreter run its signal handlers every so many
// elements, so Ctrl-C stops them (with the handler's exception).
constexpr size_t kSignalCheckPeriod = size_t{1} << 16;

inline bool signals_allow(size_t index) {
  return (index & (kSignalCheckPeriod - 1)) != kSignalCheckPeriod - 1 || PyErr_CheckSignals() == 0;
}

// Element rules of the two conversions. runs_no_code(item) tells whether
// converting the item is certain not to run Python code.
struct IdElement {
  using Value = int64_t;
  static constexpr size_t kLengthLimit = size_t{1} << 60;

  static bool runs_no_code(PyObject* item) { return PyLong_Check(item); }
  static bool convert_plain(PyObject* item, int64_t* out) { return int_to_id(item, out); }
  static bool convert(PyObject* item, int64_t* out) { return to_node_id(item, out); }
};

struct PairElement {
  using Value = IdPair;
  static constexpr size_t kLengthLimit = size_t{1} << 59;

  static bool runs_no_code(PyObject* item) {
    return PyTuple_Check(item) && PyTuple_GET_SIZE(item) == 2 &&
           PyLong_Check(PyTuple_GET_ITEM(item, 0)) && PyLong_Check(PyTuple_GET_ITEM(item, 1));
  }
  static bool convert_plain(PyObject* item, IdPair* out) {
    return int_to_id(PyTuple_GET_ITEM(item, 0), &out->first) &&
           int_to_id(PyTuple_GET_ITEM(item, 1), &out->second);
  }
  // The items of a 2-tuple are read straight out of it, first then second.
  static bool convert(PyObject* item, IdPair* out) {
    if (!PyTuple_Check(item)) {
      raise_type_mismatch(item, reinterpret_cast<PyObject*>(&PyTuple_Type));
      return false;
    }
    Py_ssize_t size = PyTuple_GET_SIZE(item);
    if (size != 2) {
      PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", size);
      return false;
    }
    return to_node_id(PyTuple_GET_ITEM(item, 0), &out->first) &&
           to_node_id(PyTuple_GET_ITEM(item, 1), &out->second);
  }
};

// Reads every element through the iterator protocol.
template <class E>
bool collect_by_iteration(PyObject* obj, Py_ssize_t reported_length,
                          std::vector<typename E::Value>& out) {
  out.reserve(static_cast<size_t>(std::min(reported_length, kUntrustedReserveCap)));
  PyRef iterator(PyObject_GetIter(obj));
  if (!iterator) return false;
  for (;;) {
    bool failed = false;
    PyRef item(next_item(iterator.get(), &failed));
    if (failed) return false;
    if (!item) return true;
    typename E::Value value;
    if (!E::convert(item.get(), &value)) return false;
    out.push_back(value);
    if (!signals_allow(out.size())) return false;
  }
}

// Reads an exact list in place, step for step as its iterator would: the
// size is re-read before every element, so an __index__ that grows, shrinks
// or clears the list is seen exactly as iteration sees it, and the item is
// kept alive while code that may drop it from the list runs.
template <class E>
bool collect_list(PyObject* list, std::vector<typename E::Value>& out) {
  out.reserve(static_cast<size_t>(PyList_GET_SIZE(list)));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
    PyObject* item = PyList_GET_ITEM(list, i);
    typename E::Value value;
    if (E::runs_no_code(item)) {
      if (!E::convert_plain(item, &value)) return false;
    } else {
      PyRef held = PyRef::borrowed(item);
      if (!E::convert(item, &value)) return false;
    }
    out.push_back(value);
    if (!signals_allow(out.size())) return false;
  }
  return true;
}

// A tuple cannot change, and it holds its items for as long as we hold it.
template <class E>
bool collect_tuple(PyObject* tuple, std::vector<typename E::Value>& out) {
  Py_ssize_t size = PyTuple_GET_SIZE(tuple);
  out.reserve(static_cast<size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyObject* item = PyTuple_GET_ITEM(tuple, i);
    typename E::Value value;
    bool ok = E::runs_no_code(item) ? E::convert_plain(item, &value) : E::convert(item, &value);
    if (!ok) return false;
    out.push_back(value);
    if (!signals_allow(out.size())) return false;
  }
  return true;
}

// ---- integer buffers -----------------------------------------------------------

// A buffer view released on every path.
class BufferView {
 public:
  BufferView() noexcept = default;
  BufferView(const BufferView&) = delete;
  BufferView& operator=(const BufferView&) = delete;
  ~BufferView() {
    if (held_) PyBuffer_Release(&view_);
  }
  // Asks for a strided view with its format; false (error cleared) if refused.
  bool acquire(PyObject* obj) {
    if (PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO) < 0) {
      PyErr_Clear();
      return false;
    }
    held_ = true;
    return true;
  }
  const Py_buffer& get() const noexcept { return view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

enum class BufferKind { kNone, kMemoryView, kOther };

// Whether `obj` is of exactly the named type of an already imported module.
bool is_exact_module_type(PyObject* obj, const char* module_name, const char* type_name) {
  PyRef name(PyUnicode_FromString(module_name));
  if (!name) {
    PyErr_Clear();
    return false;
  }
  PyRef module(PyImport_GetModule(name.get()));
  if (!module) {
    PyErr_Clear();
    return false;
  }
  PyRef type(PyObject_GetAttrString(module.get(), type_name));
  if (!type) {
    PyErr_Clear();
    return false;
  }
  return type.get() == reinterpret_cast<PyObject*>(Py_TYPE(obj));
}

// The exact types whose iteration yields their buffer's values one by one.
// Subclasses may iterate differently and take the general path.
BufferKind buffer_kind(PyObject* obj) {
  if (PyBytes_CheckExact(obj) || PyByteArray_CheckExact(obj)) return BufferKind::kOther;
  if (PyMemoryView_Check(obj) && Py_IS_TYPE(obj, &PyMemoryView_Type)) return BufferKind::kMemoryView;
  const char* name = Py_TYPE(obj)->tp_name;
  if (std::strcmp(name, "array.array") == 0 && is_exact_module_type(obj, "array", "array")) {
    return BufferKind::kOther;
  }
  if (std::strcmp(name, "numpy.ndarray") == 0 && is_exact_module_type(obj, "numpy", "ndarray")) {
    return BufferKind::kOther;
  }
  return BufferKind::kNone;
}

struct IntLayout {
  Py_ssize_t width = 0;  // bytes per value; 0 when not a native integer format
  bool is_signed = false;
};

// Integer struct formats in native byte order. A memoryview iterates only
// native formats ('@' or no prefix); the other exporters' iteration does
// not depend on the format text, so standard-size little/native prefixes
// are fine there (the width is taken from the item size).
IntLayout int_layout(const Py_buffer& view, BufferKind kind) {
  const char* format = view.format ? view.format : "B";
  char prefix = format[0];
  bool native_order = prefix == '@' || prefix == '=' ||
                      (std::endian::native == std::endian::little ? prefix == '<' : prefix == '>');
  if (native_order && (prefix == '@' || kind == BufferKind::kOther)) ++format;
  if (format[0] == '\0' || format[1] != '\0') return {};
  IntLayout layout;
  switch (format[0]) {
    case 'b': case 'h': case 'i': case 'l': case 'q': case 'n':
      layout.is_signed = true;
      break;
    case 'B': case 'H': case 'I': case 'L': case 'Q': case 'N':
      break;
    default:
      return {};
  }
  if (view.itemsize != 1 && view.itemsize != 2 && view.itemsize != 4 && view.itemsize != 8) return {};
  layout.width = view.itemsize;
  return layout;
}

template <class T>
void read_values(const char* base, Py_ssize_t count, Py_ssize_t stride, int64_t* out) {
  if (stride == static_cast<Py_ssize_t>(sizeof(T)) && sizeof(T) == sizeof(int64_t)) {
    if (count > 0) std::memcpy(out, base, static_cast<size_t>(count) * sizeof(T));
    return;
  }
  for (Py_ssize_t i = 0; i < count; ++i) {
    T value;
    std::memcpy(&value, base + i * stride, sizeof(T));
    out[i] = static_cast<int64_t>(value);
  }
}

// The OverflowError that converting `value` as an int raises.
void raise_unsigned_overflow(uint64_t value) {
  PyRef number(PyLong_FromUnsignedLongLong(value));
  int64_t unused;
  if (number) to_node_id(number.get(), &unused);
}

enum class Outcome { kDone, kFailed, kNotApplicable };

// Reads a 1-D integer buffer in place. For unsigned 64-bit values the first
// one of 2^63 or more fails, with the error its int would give.
Outcome collect_buffer(PyObject* obj, std::vector<int64_t>& out) {
  BufferKind kind = buffer_kind(obj);
  if (kind == BufferKind::kNone) return Outcome::kNotApplicable;
  BufferView buffer;
  if (!buffer.acquire(obj)) return Outcome::kNotApplicable;
  const Py_buffer& view = buffer.get();
  if (view.ndim != 1 || view.suboffsets) return Outcome::kNotApplicable;
  IntLayout layout = int_layout(view, kind);
  if (layout.width == 0) return Outcome::kNotApplicable;

  Py_ssize_t count = view.shape ? view.shape[0] : view.len / view.itemsize;
  Py_ssize_t stride = view.strides ? view.strides[0] : view.itemsize;
  if (count == 0) return Outcome::kDone;
  const char* base = static_cast<const char*>(view.buf);
  out.resize(static_cast<size_t>(count));
  int64_t* dest = out.data();
  switch (layout.width * (layout.is_signed ? 1 : -1)) {
    case 1: read_values<int8_t>(base, count, stride, dest); break;
    case 2: read_values<int16_t>(base, count, stride, dest); break;
    case 4: read_values<int32_t>(base, count, stride, dest); break;
    case 8: read_values<int64_t>(base, count, stride, dest); break;
    case -1: read_values<uint8_t>(base, count, stride, dest); break;
    case -2: read_values<uint16_t>(base, count, stride, dest); break;
    case -4: read_values<uint32_t>(base, count, stride, dest); break;
    case -8:
      read_values<uint64_t>(base, count, stride, dest);
      for (Py_ssize_t i = 0; i < count; ++i) {
        if (dest[i] < 0) {
          raise_unsigned_overflow(static_cast<uint64_t>(dest[i]));
          out.clear();
          return Outcome::kFailed;
        }
      }
      break;
  }
  return Outcome::kDone;
}

template <class E>
bool collect(PyObject* obj, std::vector<typename E::Value>& out) {
  out.clear();
  Py_ssize_t length = check_sequence(obj, E::kLengthLimit);
  if (length < 0) return false;
#ifndef Py_GIL_DISABLED
  // Without the interpreter lock another thread could change a list while it
  // is read in place; such builds use the list's own iterator.
  if (PyList_CheckExact(obj)) return collect_list<E>(obj, out);
#endif
  if (PyTuple_CheckExact(obj)) return collect_tuple<E>(obj, out);
  if constexpr (std::is_same_v<typename E::Value, int64_t>) {
    Outcome outcome = collect_buffer(obj, out);
    if (outcome != Outcome::kNotApplicable) return outcome == Outcome::kDone;
  }
  return collect_by_iteration<E>(obj, length, out);
}

}  // namespace

bool to_id_list(PyObject* obj, std::vector<int64_t>& out) { return collect<IdElement>(obj, out); }

bool to_pair_list(PyObject* obj, std::vector<IdPair>& out) { return collect<PairElement>(obj, out); }

}  // namespace arborvane::py
