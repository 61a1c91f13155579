#include "module/bind.hpp"

#include <cstring>
#include <string>

namespace arborvane::py {
namespace {

bool too_many_positional(const SignatureView& sig, Py_ssize_t given) {
  const char* were = given == 1 ? "was" : "were";
  if (sig.required_count == sig.parameter_count) {
    PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given",
                 sig.full_name, sig.parameter_count, given, were);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %zd to %zd positional arguments but %zd %s given",
                 sig.full_name, sig.required_count, sig.parameter_count, given, were);
  }
  return false;
}

// Index of the parameter whose name equals `key` as UTF-8 bytes, or -1.
Py_ssize_t find_parameter(const SignatureView& sig, PyObject* key) {
  Py_ssize_t length = 0;
  const char* name = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &length) : nullptr;
  if (!name) {
    PyErr_Clear();  // not encodable: matches no parameter
    return -1;
  }
  for (Py_ssize_t i = 0; i < sig.parameter_count; ++i) {
    const char* param = sig.parameters[i].name;
    if (static_cast<size_t>(length) == std::strlen(param) && std::memcmp(name, param, length) == 0) {
      return i;
    }
  }
  return -1;
}

bool bind_keyword(const SignatureView& sig, PyObject* key, PyObject* value, PyObject** slots) {
  Py_ssize_t index = find_parameter(sig, key);
  if (index < 0) {
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", sig.full_name, key);
    return false;
  }
  if (slots[index]) {
    PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%S'", sig.full_name, key);
    return false;
  }
  slots[index] = value;
  return true;
}

bool check_required(const SignatureView& sig, Py_ssize_t positional, PyObject** slots) {
  if (positional >= sig.required_count) return true;
  std::string names;
  Py_ssize_t missing = 0;
  for (Py_ssize_t i = 0; i < sig.required_count; ++i) missing += slots[i] ? 0 : 1;
  if (missing == 0) return true;
  Py_ssize_t seen = 0;
  for (Py_ssize_t i = 0; i < sig.required_count; ++i) {
    if (slots[i]) continue;
    if (seen > 0) {
      if (missing == 2) {
        names += " and ";
      } else {
        names += seen == missing - 1 ? ", and " : ", ";
      }
    }
    names += '\'';
    names += sig.parameters[i].name;
    names += '\'';
    ++seen;
  }
  PyErr_Format(PyExc_TypeError, "%s missing %zd required positional %s: %s", sig.full_name, missing,
               missing == 1 ? "argument" : "arguments", names.c_str());
  return false;
}

}  // namespace

bool bind_arguments_general(const SignatureView& sig, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames, PyObject** slots) {
  Py_ssize_t positional = PyVectorcall_NARGS(nargsf);
  for (Py_ssize_t i = 0; i < sig.parameter_count; ++i) slots[i] = nullptr;
  if (positional > sig.parameter_count) return too_many_positional(sig, positional);
  for (Py_ssize_t i = 0; i < positional; ++i) slots[i] = args[i];
  if (kwnames) {
    Py_ssize_t keyword_count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
      if (!bind_keyword(sig, PyTuple_GET_ITEM(kwnames, k), args[positional + k], slots)) return false;
    }
  }
  return check_required(sig, positional, slots);
}

bool bind_arguments(const SignatureView& sig, PyObject* args, PyObject* kwargs, PyObject** slots) {
  Py_ssize_t positional = args ? PyTuple_GET_SIZE(args) : 0;
  for (Py_ssize_t i = 0; i < sig.parameter_count; ++i) slots[i] = nullptr;
  if (positional > sig.parameter_count) return too_many_positional(sig, positional);
  for (Py_ssize_t i = 0; i < positional; ++i) slots[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!bind_keyword(sig, key, value, slots)) return false;
    }
  }
  return check_required(sig, positional, slots);
}

}  // namespace arborvane::py
