// Binding of call arguments to parameter names, with the interpreter-style
// TypeError messages for every binding failure.
#pragma once

#include <array>
#include <cstddef>

#include "module/py_ref.hpp"

namespace arborvane::py {

// One parameter of an exported callable: its name and, for an optional
// one, its default as the text signature shows it ("42", "0.85", "1e-6").
struct Parameter {
  constexpr Parameter(const char* parameter_name, const char* default_value = nullptr) noexcept
      : name(parameter_name), default_text(default_value) {}
  const char* name;
  const char* default_text;
};

// What binding needs of a callable: the name its messages use
// ("IntGraphCore.add_edge()") and its parameters, the required ones first.
struct SignatureView {
  const char* full_name;
  const Parameter* parameters;
  Py_ssize_t parameter_count;
  Py_ssize_t required_count;
};

// Vectorcall form, general case (keywords, or fewer or more positional
// arguments than parameters): fills slots[0..parameter_count) with borrowed
// references, null for parameters left to their defaults. Returns false with
// TypeError set.
bool bind_arguments_general(const SignatureView& sig, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames, PyObject** slots);

// Vectorcall form. The slots are sized by the callable's parameter count.
// The common call, every parameter given by position, is bound inline: it
// fills every slot and can fail no check.
template <size_t N>
inline bool bind_arguments(const SignatureView& sig, PyObject* const* args, size_t nargsf,
                           PyObject* kwnames, std::array<PyObject*, N>& slots) {
  if (!kwnames && PyVectorcall_NARGS(nargsf) == static_cast<Py_ssize_t>(N)) {
    for (size_t i = 0; i < N; ++i) slots[i] = args[i];
    return true;
  }
  return bind_arguments_general(sig, args, nargsf, kwnames, slots.data());
}

// Tuple-and-dict form (the constructor), same rules.
bool bind_arguments(const SignatureView& sig, PyObject* args, PyObject* kwargs, PyObject** slots);

}  // namespace arborvane::py
