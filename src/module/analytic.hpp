// The table entry of an analytic on a CSR snapshot, described in place: its
// name, its docstring and, when not its name, the public function that its
// errors name. One kernel per analytic (accel/kernels/analytics.hpp), and
// two ways to hand it a graph, each a Source:
//
//   - StoreSource (arrays_module.cpp): an IntGraphCore g, read under its
//     shared borrow through its cached snapshot; a per-node result is
//     (ids, values);
//   - RowsSource (csr_graph_functions.cpp): the undirected rows of an
//     arborvane.Graph, read where numpy holds them (CsrSnapshot::over_rows);
//     a per-node result is the values alone, aligned with the Graph's
//     labels.
//
// Kernel(snapshot, values) fills one value per node, int64_t or double as its
// signature says; Kernel(snapshot) gives one number (double or uint64_t).
// A Source offers kParameters and kAccess (its part of the description),
// per_node<Value>(call, fill) and scalar(call, work), which run
// fill(snapshot, values) or work(snapshot) natively and return the result.
#pragma once

#include <span>
#include <type_traits>

#include "accel/snapshot/csr_snapshot.hpp"
#include "module/call.hpp"

namespace arborvane::py {

template <class Source, auto Kernel, Literal kName, Literal kDoc, Literal kShownAs>
struct Analytic {
  // shown_as is set after the fact: comparing the address of a template
  // argument's characters with null is no constant expression for every
  // compiler (GCC with the address sanitizer refuses it).
  static constexpr auto kDescription = [] {
    auto description = function(kName.chars, Source::kParameters, Source::kAccess, kDoc.chars);
    if constexpr (kShownAs.chars[0] != '\0') description.shown_as = kShownAs.chars;
    return description;
  }();

  static PyObject* body(const Call<kDescription>& c) {
    if constexpr (std::is_invocable_r_v<void, decltype(Kernel), const CsrSnapshot&, std::span<int64_t>>) {
      return Source::template per_node<int64_t>(c, Kernel);
    } else if constexpr (std::is_invocable_r_v<void, decltype(Kernel), const CsrSnapshot&, std::span<double>>) {
      return Source::template per_node<double>(c, Kernel);
    } else {
      return Source::scalar(c, Kernel);
    }
  }
};

template <class Source, auto Kernel, Literal kName, Literal kDoc, Literal kShownAs>
PyMethodDef analytic_entry() {
  using Entry = Analytic<Source, Kernel, kName, kDoc, kShownAs>;
  return def<Entry::kDescription, Entry::body>();
}

}  // namespace arborvane::py
