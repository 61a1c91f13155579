// Freeing a large partly filled list without making the caller wait.
#pragma once

#include <cstddef>

#include "module/py_ref.hpp"

namespace arborvane::py {

// Frees `list`, whose first `filled` items are set and the rest null, while
// an exception (the stopping KeyboardInterrupt) is pending. A list of
// kReleaseInlineItems items or more goes to arborvane._release's thread
// instead of being freed here; the pending exception is kept either way.
void release_partial_list(PyRef list, size_t filled) noexcept;

}  // namespace arborvane::py
