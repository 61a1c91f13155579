// Binding of call arguments to parameter names, with the interpreter-style
// TypeError messages for every binding failure.
#pragma once

#include "module/py_ref.hpp"

namespace arborvane::py {

inline constexpr Py_ssize_t kMaxParameters = 3;

struct MethodSignature {
  const char* full_name;  // "IntGraphCore.add_edge()"
  const char* const* parameters;
  Py_ssize_t parameter_count;
  Py_ssize_t required_count;
};

// Vectorcall form, general case (keywords, or fewer or more positional
// arguments than parameters).
bool bind_arguments_general(const MethodSignature& sig, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames, PyObject** slots);

// Vectorcall form: fills slots[0..parameter_count) with borrowed references,
// null for parameters left to their defaults. Returns false with TypeError set.
// The common call, every parameter given by position, is bound inline: it
// fills every slot and can fail no check.
inline bool bind_arguments(const MethodSignature& sig, PyObject* const* args, size_t nargsf,
                           PyObject* kwnames, PyObject** slots) {
  if (!kwnames && PyVectorcall_NARGS(nargsf) == sig.parameter_count) {
    for (Py_ssize_t i = 0; i < sig.parameter_count; ++i) slots[i] = args[i];
    return true;
  }
  return bind_arguments_general(sig, args, nargsf, kwnames, slots);
}

// Tuple-and-dict form (the constructor), same rules.
bool bind_arguments(const MethodSignature& sig, PyObject* args, PyObject* kwargs,
                    PyObject** slots);

}  // namespace arborvane::py
