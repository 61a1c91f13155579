// Results handed to Python as native memory behind the buffer protocol.
//
// A NativeArray owns one block of memory and describes it as a C-contiguous
// array of one element type (1-D, or 2-D with a fixed number of columns).
// numpy.asarray() views it without a copy and keeps it alive as the array's
// base. The memory is filled natively before the object is handed out and
// belongs to nothing else, so filling it needs no interpreter lock.
#pragma once

#include <cstddef>

#include "module/py_ref.hpp"

namespace arborvane::py {

enum class ElementType { kInt64, kInt32, kFloat64, kFloat32, kByte };

// The NativeArray class, created once per process; null with an error set
// when creation fails.
PyTypeObject* native_array_type();

// A new NativeArray of `rows` elements, or of rows x columns when `columns`
// is not zero; *data points at its (uninitialised) memory. Null with
// MemoryError (or another error) set on failure.
PyObject* new_native_array(ElementType type, size_t rows, size_t columns, void** data);

// Makes a NativeArray read-only for good, before it is handed out: its
// buffer is exported read-only and a writable request is refused, so no
// numpy view of it can be made writable again. `built_with` (or null), kept
// alive by it, is the NativeArray it was built together with: an indices
// array frozen with its indptr vouches that the two form the rows its
// builder wrote (frozen_with).
void freeze_native_array(PyObject* array, PyObject* built_with = nullptr);

// Whether `obj` is a NativeArray frozen with exactly `built_with`.
bool frozen_with(PyObject* obj, PyObject* built_with);

// Shortens a 1-D NativeArray that has not been exported yet to its first
// `rows` elements (the memory is kept).
void shrink_native_array(PyObject* array, size_t rows);

}  // namespace arborvane::py
