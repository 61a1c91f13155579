// Our extension modules load only in the main interpreter.
//
// The IntGraphCore class object, the PanicException class and the worker
// pool are process-wide and were created by (and hold objects of) one
// interpreter; another interpreter must not see them. On 3.12 and later each
// module also declares Py_mod_multiple_interpreters as not supported, which
// makes isolated subinterpreters refuse the import before the execution step
// runs; legacy subinterpreters (and every subinterpreter on 3.11) still run
// it, so the execution step checks as well. Refusing anything but the main
// interpreter, instead of remembering the first importer, keeps the main
// interpreter able to import the module whatever happened in others.
#pragma once

#include "module/py_ref.hpp"

namespace arborvane::py {

// In the main interpreter: false. Anywhere else: true, with ImportError set
// naming `module_name`. Call at the start of a module's execution step.
inline bool refuse_subinterpreter(const char* module_name) {
  if (PyInterpreterState_Get() == PyInterpreterState_Main()) return false;
  PyErr_Format(PyExc_ImportError,
               "%s cannot be imported in a subinterpreter: it keeps process-wide state that "
               "belongs to the main interpreter",
               module_name);
  return true;
}

}  // namespace arborvane::py
