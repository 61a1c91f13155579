// Owned Python references: every new reference the boundary takes lives in a
// PyRef, so every return path releases it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace arborvane::py {

class PyRef {
 public:
  PyRef() noexcept = default;
  // Takes ownership of a new reference (may be null).
  explicit PyRef(PyObject* owned) noexcept : ptr_(owned) {}
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(ptr_);
      ptr_ = std::exchange(other.ptr_, nullptr);
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(ptr_); }

  // A new owned reference to a borrowed object.
  static PyRef borrowed(PyObject* obj) noexcept {
    Py_XINCREF(obj);
    return PyRef(obj);
  }

  PyObject* get() const noexcept { return ptr_; }
  explicit operator bool() const noexcept { return ptr_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }

 private:
  PyObject* ptr_ = nullptr;
};

}  // namespace arborvane::py
