#include "module/borrow.hpp"

namespace arborvane::py {

void raise_borrow_refused(const BorrowFlag& flag, const char* caller, bool exclusive) {
  if (!caller) {
    PyErr_SetString(PyExc_RuntimeError, exclusive ? "Already borrowed" : "Already mutably borrowed");
    return;
  }
  // Under a global lock the holder may be a call that this one runs inside
  // (through an argument's conversion); without one, usually another thread.
  constexpr const char* kWhere = "in another thread, or in a call that this one runs inside";
  if (exclusive && flag.count.load(std::memory_order_relaxed) != kExclusivelyBorrowed) {
    PyErr_Format(PyExc_RuntimeError, "%s(): other calls are reading the graph (%s); let them finish, then call again",
                 caller, kWhere);
    return;
  }
  const BorrowHolder* holder = flag.holder.load(std::memory_order_relaxed);
  if (!holder || holder->changes_graph) {
    PyErr_Format(PyExc_RuntimeError,
                 "%s(): the graph is being changed by %s (%s); finish or lock around mutations, then call again",
                 caller, holder ? holder->name : "another call", kWhere);
  } else {
    PyErr_Format(PyExc_RuntimeError, "%s(): %s holds the graph exclusively (%s); let it finish, then call again",
                 caller, holder->name, kWhere);
  }
}

}  // namespace arborvane::py
