// The slots of both native modules' definitions (multi-phase
// initialisation): the execution step, not supported in isolated
// subinterpreters (3.12+; main_interpreter.hpp says why), and no need for
// the global interpreter lock (3.13+).
#pragma once

#include "module/py_ref.hpp"

namespace arborvane::py {

template <int (*Exec)(PyObject*)>
inline PyModuleDef_Slot kModuleSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(Exec)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

}  // namespace arborvane::py
