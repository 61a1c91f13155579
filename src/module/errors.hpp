// Errors raised at the boundary: type mismatch messages, the rewrite of
// argument conversion failures, the PanicException class for internal
// faults, and the translation of native C++ exceptions.
#pragma once

#include "module/py_ref.hpp"

namespace arborvane::py {

// Fetches and clears the current exception (normalised); null when none.
PyRef fetch_exception();
// Makes `exc` the current exception again.
void restore_exception(PyRef exc);

// The PanicException class, created on first use and kept for the process.
// Null (with an error set) only when it could not be created.
PyObject* panic_exception_type();

// Raises PanicException(message).
void raise_panic(const char* message);

// Raises TypeError "'{T}' object is not an instance of '{U}'" (or the None
// form) for `obj` and the expected type `expected`.
void raise_type_mismatch(PyObject* obj, PyObject* expected);

// Rewrites the current error of a failed argument conversion: an exception
// of exactly TypeError becomes TypeError "argument '{P}': {X}" (keeping its
// __cause__); a PanicException coming back out of Python code is reported
// and raised again as a new internal error; anything else passes unchanged.
void argument_error(const char* parameter);

// Turns the C++ exception being handled into a Python exception. Call only
// from inside a catch block.
void raise_from_native_exception() noexcept;

// Runs `body` (which returns a PyObject* or an int-like status) and turns
// any C++ exception it throws into the matching Python exception.
template <class Result, class Body>
Result guard_native(Result on_error, Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    raise_from_native_exception();
    return on_error;
  }
}

}  // namespace arborvane::py
