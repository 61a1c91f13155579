// Running native work from a method: Ctrl-C is seen within a fraction of a
// second, and where the work runs detached from the interpreter, other
// Python threads (and the cyclic collector) carry on meanwhile.
//
// The work must touch no Python object: arguments are converted before and
// results built after. Borrows stay held throughout, so other calls on the
// same graph are still refused or admitted exactly as before.
#pragma once

#include <utility>

#include "accel/parallel/interrupt.hpp"
#include "module/py_ref.hpp"

namespace arborvane::py {

// Whether a call keeps the thread attached on interpreters with a global
// lock. Free-threaded interpreters always detach: an attached thread there
// holds up garbage collection and stop-the-world pauses of every thread.
enum class Attachment {
  kKeepWithLock,  // the core class's methods: hold the lock as they always have
  kDetach,        // release the lock on every interpreter
};

// Asks the interpreter to run its signal handlers; a handler that raises
// (KeyboardInterrupt) asks the work to stop, its exception left set.
class SignalCheck final : public StopSource {
 public:
  // `detached` points at the saved thread state while the work runs
  // detached, null while it runs attached.
  explicit SignalCheck(PyThreadState** detached) noexcept : detached_(detached) {}
  bool stop_requested() override {
    if (!detached_) return PyErr_CheckSignals() < 0;
    PyEval_RestoreThread(*detached_);
    bool stop = PyErr_CheckSignals() < 0;
    *detached_ = PyEval_SaveThread();
    return stop;
  }

 private:
  PyThreadState** detached_;
};

#ifdef Py_GIL_DISABLED
inline constexpr bool kFreeThreaded = true;
#else
inline constexpr bool kFreeThreaded = false;
#endif

// Runs work() with Ctrl-C polling, detached from the interpreter where
// `attachment` and the build say so. Exceptions pass through (Interrupted
// included) once the thread is attached again.
template <class Work>
decltype(auto) call_native(Attachment attachment, Work&& work) {
  if (attachment == Attachment::kKeepWithLock && !kFreeThreaded) {
    SignalCheck check(nullptr);
    InterruptScope scope(check);
    return std::forward<Work>(work)();
  }
  struct Detached {
    PyThreadState* saved = PyEval_SaveThread();
    ~Detached() { PyEval_RestoreThread(saved); }
  } detached;
  SignalCheck check(&detached.saved);
  InterruptScope scope(check);
  return std::forward<Work>(work)();
}

}  // namespace arborvane::py
