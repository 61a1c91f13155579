#include "module/errors.hpp"

#include <atomic>
#include <cstdio>
#include <new>
#include <stdexcept>

#include "accel/parallel/interrupt.hpp"
#include "accel/support/internal_error.hpp"

namespace arborvane::py {
namespace {

constexpr const char kPanicDoc[] =
    "The exception raised when native code called from Python fails in a way it cannot\n"
    "report as an ordinary exception (a violated internal invariant, division by zero,\n"
    "a size that cannot be represented).\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that it will\n"
    "typically propagate all the way through the stack and cause the Python interpreter\n"
    "to exit.";

std::atomic<PyObject*> g_panic_type{nullptr};

}  // namespace

PyRef fetch_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyRef(PyErr_GetRaisedException());
#else
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (!type) return PyRef();
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback && value) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return PyRef(value);
#endif
}

void restore_exception(PyRef exc) {
  if (!exc) return;
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc.release());
#else
  PyObject* value = exc.release();
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
  Py_INCREF(type);
  PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

PyObject* panic_exception_type() {
  PyObject* existing = g_panic_type.load(std::memory_order_acquire);
  if (existing) return existing;
  PyObject* created = PyErr_NewExceptionWithDoc("arborvane._accel.PanicException", kPanicDoc,
                                                PyExc_BaseException, nullptr);
  if (!created) return nullptr;
  // Another thread (free-threaded interpreter) may have won the race: keep
  // the first class and drop ours, so there is only ever one.
  if (!g_panic_type.compare_exchange_strong(existing, created, std::memory_order_acq_rel)) {
    Py_DECREF(created);
    return existing;
  }
  return created;
}

void raise_panic(const char* message) {
  PyObject* type = panic_exception_type();
  if (!type) return;
  PyErr_SetString(type, message);
}

namespace {

// Qualified name of an object's type, or the stand-in text when unavailable.
PyRef qualified_type_name(PyTypeObject* type) {
  PyRef name(PyType_GetQualName(type));
  if (!name) {
    PyErr_Clear();
    name = PyRef(PyUnicode_FromString("<failed to extract type name>"));
  }
  return name;
}

}  // namespace

void raise_type_mismatch(PyObject* obj, PyObject* expected) {
  PyRef expected_name = qualified_type_name(reinterpret_cast<PyTypeObject*>(expected));
  if (!expected_name) return;
  if (obj == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%U'", expected_name.get());
    return;
  }
  PyRef name = qualified_type_name(Py_TYPE(obj));
  if (!name) return;
  PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%U'", name.get(),
               expected_name.get());
}

namespace {

// A PanicException raised by Python code that a conversion ran: report it
// with its traceback, then raise a new internal error with the same message.
void resume_panic(PyRef exc) {
  PyRef message(PyObject_Str(exc.get()));
  std::fputs(
      "--- arborvane is resuming a panic after fetching a PanicException from Python. ---\n"
      "Python stack trace below:\n",
      stderr);
  std::fflush(stderr);
  restore_exception(std::move(exc));
  PyErr_PrintEx(0);
  if (!message) {
    PyErr_Clear();
    raise_panic("<unprintable PanicException>");
    return;
  }
  PyErr_SetObject(panic_exception_type(), message.get());
}

}  // namespace

void argument_error(const char* parameter) {
  PyRef exc = fetch_exception();
  if (!exc) return;
  PyObject* panic_type = panic_exception_type();
  if (!panic_type) return;  // creating the class failed; that error stands
  if (PyObject_TypeCheck(exc.get(), reinterpret_cast<PyTypeObject*>(panic_type))) {
    resume_panic(std::move(exc));
    return;
  }
  if (Py_TYPE(exc.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    restore_exception(std::move(exc));
    return;
  }
  PyRef text(PyObject_Str(exc.get()));
  if (!text) return;
  PyRef message(PyUnicode_FromFormat("argument '%s': %U", parameter, text.get()));
  if (!message) return;
  PyRef replacement(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!replacement) return;
  if (PyObject* cause = PyException_GetCause(exc.get())) {
    PyException_SetCause(replacement.get(), cause);  // steals the new reference
  }
  restore_exception(std::move(replacement));
}

void raise_from_native_exception() noexcept {
  try {
    throw;
  } catch (const InternalError& e) {
    report_internal_error(e.what(), e.where());
    raise_panic(e.what());
  } catch (const Interrupted&) {
    // The signal handler's exception is already set; a stop for any other
    // reason reads as a keyboard interrupt.
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
  } catch (const InvalidRequest& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    report_internal_error(e.what(), std::source_location::current());
    raise_panic(e.what());
  } catch (...) {
    report_internal_error("unknown native exception", std::source_location::current());
    raise_panic("unknown native exception");
  }
}

}  // namespace arborvane::py
