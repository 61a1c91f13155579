// Blocks of parameters that several exported callables share, each written
// once with its defaults, and the conversion of each block.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>

#include "module/call.hpp"

namespace arborvane::py {

// PageRank's options: IntGraphCore.pagerank and the array function beside it.
inline constexpr auto kPagerankParameters =
    std::to_array<Parameter>({{"damping", "0.85"}, {"max_iter", "100"}, {"tol", "1e-6"}});

struct PagerankOptions {
  double damping;
  uint64_t max_iter;
  double tol;
};

// Converts the PageRank block that starts at parameter First, in order.
template <size_t First, const auto& C>
bool pagerank_options(const Call<C>& c, PagerankOptions* out) {
  return c.template real<First>(&out->damping) && c.template count<First + 1>(&out->max_iter) &&
         c.template real<First + 2>(&out->tol);
}

// ValueError "<name> must be <rule>, got <repr(value)>"; takes `value`'s reference.
inline bool out_of_range(const char* name, const char* rule, PyObject* value) {
  PyRef shown(value);
  if (shown) PyErr_Format(PyExc_ValueError, "%s must be %s, got %R", name, rule, shown.get());
  return false;
}

// pagerank_options() with the array functions' own rules (IntGraphCore.pagerank
// runs with any values): damping in [0, 1], max_iter at least 1, tol finite
// and at least 0.
template <size_t First, const auto& C>
bool checked_pagerank_options(const Call<C>& c, PagerankOptions* o) {
  if (!pagerank_options<First>(c, o)) return false;
  if (!(o->damping >= 0.0 && o->damping <= 1.0)) {
    return out_of_range("damping", "between 0 and 1", PyFloat_FromDouble(o->damping));
  }
  if (o->max_iter < 1) return out_of_range("max_iter", "at least 1", PyLong_FromUnsignedLongLong(o->max_iter));
  if (!(o->tol >= 0.0 && std::isfinite(o->tol))) {
    return out_of_range("tol", "finite and at least 0", PyFloat_FromDouble(o->tol));
  }
  return true;
}

// Parameter I as a modularity resolution: a finite float, at least 0
// (louvain_communities, leiden_communities, modularity).
template <size_t I, const auto& C>
bool resolution_arg(const Call<C>& c, double* out) {
  if (!c.template real<I>(out)) return false;
  if (!std::isfinite(*out) || *out < 0) {
    PyErr_Format(PyExc_ValueError, "resolution must be a finite number >= 0, got %R", c.template arg<I>());
    return false;
  }
  return true;
}

}  // namespace arborvane::py
