// Module entry point: multi-phase initialisation whose execution step adds
// the IntGraphCore class (created once per process) and lists it in __all__.
// The class is process-wide, so the module loads in the main interpreter only.
#include "module/errors.hpp"
#include "module/graph_object.hpp"
#include "module/main_interpreter.hpp"
#include "module/module_slots.hpp"

namespace arborvane::py {
namespace {

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    raise_type_mismatch(module, reinterpret_cast<PyObject*>(&PyModule_Type));
    return -1;
  }
  if (refuse_subinterpreter("arborvane._accel")) return -1;
  PyObject* type = graph_type();
  if (!type) return -1;
  PyRef all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = PyRef(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
  } else if (!PyList_Check(all.get())) {
    raise_type_mismatch(all.get(), reinterpret_cast<PyObject*>(&PyList_Type));
    return -1;
  }
  PyRef name(PyUnicode_FromString("IntGraphCore"));
  if (!name || PyList_Append(all.get(), name.get()) < 0) return -1;
  return PyObject_SetAttrString(module, "IntGraphCore", type);
}

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "_accel",
    "",
    0,
    nullptr,
    kModuleSlots<exec_module>,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace arborvane::py

PyMODINIT_FUNC PyInit__accel(void) { return PyModuleDef_Init(&arborvane::py::kModuleDef); }
