#include "module/background_release.hpp"

#include "module/errors.hpp"

namespace arborvane::py {

namespace {

// Items under which a list is freed on the spot: 262,144 pairs of ints
// took 10 ms to free (16,000,000 pairs 0.7 s).
constexpr size_t kReleaseInlineItems = size_t{1} << 18;

}  // namespace

void release_partial_list(PyRef list, size_t filled) noexcept {
  if (filled < kReleaseInlineItems) return;
  PyRef pending = fetch_exception();
  // The list ends at its last set item, so that the list handed over is an
  // ordinary one (the slots after it hold nothing to release). It stays out
  // of the cyclic collector, as while it filled (its pairs of ints form no
  // cycles): tracked, its millions of items made the next full collection,
  // which the hand-over's own allocations could start, take 0.1 s.
  Py_SET_SIZE(list.get(), static_cast<Py_ssize_t>(filled));
  PyRef module(PyImport_ImportModule("arborvane._release"));
  if (module) PyRef(PyObject_CallMethod(module.get(), "release_later", "O", list.get()));
  PyErr_Clear();
  restore_exception(std::move(pending));
}

}  // namespace arborvane::py
