#include "module/native_array.hpp"

#include <atomic>
#include <new>

#include "accel/support/huge_page_memory.hpp"

namespace arborvane::py {
namespace {

struct NativeArrayObject {
  PyObject_HEAD
  void* data;
  size_t capacity;  // bytes allocated
  Py_ssize_t bytes;  // bytes described
  Py_ssize_t itemsize;
  int ndim;
  Py_ssize_t shape[2];
  Py_ssize_t strides[2];
  char format[2];
  bool frozen;         // exported read-only, writable requests refused (freeze_native_array)
  PyObject* built_with;  // owned, or null: the array this one was frozen with
};

// Large blocks take transparent huge pages: a fresh export touches every
// page once, and with 4 KiB pages the page faults cost as much as writing
// the data (edge_array at 10M edges took 45% more CPU time without them).
// They are faulted in as they are written, not when made: from_edges makes
// its rows before the build's scratch is released wave by wave, and
// faulting them in early would add them whole to the build's peak.
constexpr size_t kSmallAlignment = 64;

void array_dealloc(PyObject* self) {
  auto* array = reinterpret_cast<NativeArrayObject*>(self);
  Py_XDECREF(array->built_with);
  free_block(array->data, array->capacity, kSmallAlignment);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// Whether the array is also Fortran-contiguous: true in one dimension, and
// in two when no more than one dimension has more than one element.
bool fortran_contiguous(const NativeArrayObject* array) {
  return array->ndim == 1 || array->shape[0] <= 1 || array->shape[1] <= 1;
}

int array_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  auto* array = reinterpret_cast<NativeArrayObject*>(self);
  // The memory is C-contiguous, and writable unless frozen; a request for
  // another layout, or for writing to a frozen array, is refused, as the
  // buffer protocol asks of an exporter that cannot honour it.
  if (array->frozen && (flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
    view->obj = nullptr;
    PyErr_SetString(PyExc_BufferError, "arborvane graph arrays are read-only");
    return -1;
  }
  if ((flags & PyBUF_F_CONTIGUOUS) == PyBUF_F_CONTIGUOUS && !fortran_contiguous(array)) {
    view->obj = nullptr;
    PyErr_SetString(PyExc_BufferError, "arborvane result is C-contiguous, not Fortran-contiguous");
    return -1;
  }
  view->buf = array->data;
  view->obj = Py_NewRef(self);
  view->len = array->bytes;
  view->readonly = array->frozen ? 1 : 0;
  view->itemsize = array->itemsize;
  view->format = (flags & PyBUF_FORMAT) ? array->format : nullptr;
  bool shaped = (flags & PyBUF_ND) == PyBUF_ND;
  view->ndim = shaped ? array->ndim : 1;
  view->shape = shaped ? array->shape : nullptr;
  view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? array->strides : nullptr;
  view->suboffsets = nullptr;
  view->internal = nullptr;
  return 0;
}

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Native memory of an arborvane result, viewed through the buffer protocol.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(array_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(array_getbuffer)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "arborvane._arrays.NativeArray",
    static_cast<int>(sizeof(NativeArrayObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kSlots,
};

std::atomic<PyObject*> g_type{nullptr};

}  // namespace

PyTypeObject* native_array_type() {
  PyObject* existing = g_type.load(std::memory_order_acquire);
  if (existing) return reinterpret_cast<PyTypeObject*>(existing);
  PyObject* created = PyType_FromSpec(&kSpec);
  if (!created) return nullptr;
  if (!g_type.compare_exchange_strong(existing, created, std::memory_order_acq_rel)) {
    Py_DECREF(created);
    return reinterpret_cast<PyTypeObject*>(existing);
  }
  return reinterpret_cast<PyTypeObject*>(created);
}

namespace {

struct Element {
  char format;
  size_t size;
};

Element element(ElementType type) {
  switch (type) {
    case ElementType::kInt64:
      return {'q', 8};
    case ElementType::kInt32:
      return {'i', 4};
    case ElementType::kFloat64:
      return {'d', 8};
    case ElementType::kFloat32:
      return {'f', 4};
    case ElementType::kByte:
      break;
  }
  return {'B', 1};
}

}  // namespace

PyObject* new_native_array(ElementType type, size_t rows, size_t columns, void** data) {
  Element e = element(type);
  size_t per_row = e.size * (columns ? columns : 1);
  constexpr size_t kMaxBytes = static_cast<size_t>(PY_SSIZE_T_MAX);
  if (rows > kMaxBytes / per_row) return PyErr_NoMemory();
  size_t bytes = rows * per_row;
  PyTypeObject* tp = native_array_type();
  if (!tp) return nullptr;
  const size_t capacity = bytes ? bytes : kSmallAlignment;  // never empty: every view has an address
  void* memory;
  try {
    memory = allocate_block(capacity, kSmallAlignment);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  PyObject* self = tp->tp_alloc(tp, 0);
  if (!self) {
    free_block(memory, capacity, kSmallAlignment);
    return nullptr;
  }
  auto* array = reinterpret_cast<NativeArrayObject*>(self);
  array->data = memory;
  array->capacity = capacity;
  array->bytes = static_cast<Py_ssize_t>(bytes);
  array->itemsize = static_cast<Py_ssize_t>(e.size);
  array->format[0] = e.format;
  array->format[1] = '\0';
  array->ndim = columns ? 2 : 1;
  array->shape[0] = static_cast<Py_ssize_t>(rows);
  array->shape[1] = static_cast<Py_ssize_t>(columns);
  array->strides[0] = static_cast<Py_ssize_t>(per_row);
  array->strides[1] = static_cast<Py_ssize_t>(e.size);
  *data = memory;
  return self;
}

void freeze_native_array(PyObject* self, PyObject* built_with) {
  auto* array = reinterpret_cast<NativeArrayObject*>(self);
  array->frozen = true;
  PyObject* before = array->built_with;
  array->built_with = Py_XNewRef(built_with);
  Py_XDECREF(before);
}

bool frozen_with(PyObject* obj, PyObject* built_with) {
  PyObject* type = g_type.load(std::memory_order_acquire);
  if (!obj || !built_with || reinterpret_cast<PyObject*>(Py_TYPE(obj)) != type) return false;
  const auto* array = reinterpret_cast<const NativeArrayObject*>(obj);
  return array->frozen && array->built_with == built_with;
}

void shrink_native_array(PyObject* self, size_t rows) {
  auto* array = reinterpret_cast<NativeArrayObject*>(self);
  if (array->ndim != 1 || static_cast<Py_ssize_t>(rows) > array->shape[0]) return;
  array->shape[0] = static_cast<Py_ssize_t>(rows);
  array->bytes = static_cast<Py_ssize_t>(rows) * array->itemsize;
}

}  // namespace arborvane::py
