// One call of an exported callable, as its description (callable.hpp)
// says: bind the arguments, find the graph (the receiver, or the argument
// "g"), take its borrow, run the body, release the borrow. The body gets a
// Call, which converts its arguments by position (errors name the
// parameter; omitted ones take the described default) and runs native work
// attached or detached as described.
//
//   constexpr auto kAddEdge = method("add_edge", {"u", "v"}, Access::kExclusive);
//   PyObject* add_edge(const Call<kAddEdge>& c) { ... }
//   PyMethodDef kMethods[] = {def<kAddEdge, add_edge>(), ...};
#pragma once

#include <array>
#include <type_traits>
#include <utility>
#include <vector>

#include "module/callable.hpp"
#include "module/convert.hpp"
#include "module/errors.hpp"
#include "module/graph_object.hpp"

namespace arborvane::py {

namespace call_detail {

template <size_t N>
constexpr Py_ssize_t required_count(const Callable<N>& c) {
  size_t required = 0;
  while (required < N && !c.parameters[required].default_text) ++required;
  for (size_t i = required; i < N; ++i) {
    if (!c.parameters[i].default_text) invalid_description();  // a required parameter after an optional one
  }
  return static_cast<Py_ssize_t>(required);
}

}  // namespace call_detail

template <const auto& C>
inline constexpr SignatureView kSignature{kFullName<C>.data(), C.parameters.data(),
                                          static_cast<Py_ssize_t>(C.parameters.size()),
                                          call_detail::required_count(C)};

template <const auto& C>
inline constexpr BorrowHolder kHolder{kFullName<C>.data(), C.access == Access::kExclusive};

template <const auto& C>
class Call {
 public:
  using Slots = std::array<PyObject*, C.parameters.size()>;

  Call(const Slots& slots, GraphState* graph) noexcept : slots_(slots), graph_(graph) {}
  Call(const Call&) = delete;
  Call& operator=(const Call&) = delete;

  GraphState& graph() const noexcept {
    static_assert(C.access != Access::kNone, "this callable takes no graph");
    return *graph_;
  }

  // The argument object of parameter I (null when omitted and optional).
  template <size_t I>
  PyObject* arg() const noexcept {
    static_assert(I < C.parameters.size(), "no such parameter");
    return slots_[I];
  }

  template <size_t I>
  bool node_id(int64_t* out) const {
    return named<I>(to_node_id(arg<I>(), out));
  }
  template <size_t I>
  bool count(uint64_t* out) const {
    if constexpr (C.parameters[I].default_text != nullptr) {
      static constexpr uint64_t kDefault = default_detail::read_unsigned(C.parameters[I].default_text);
      if (!arg<I>()) {
        *out = kDefault;
        return true;
      }
    }
    return named<I>(to_unsigned(arg<I>(), out));
  }
  template <size_t I>
  bool real(double* out) const {
    if constexpr (C.parameters[I].default_text != nullptr) {
      static constexpr double kDefault = default_detail::read_float(C.parameters[I].default_text);
      if (!arg<I>()) {
        *out = kDefault;
        return true;
      }
    }
    return named<I>(to_float(arg<I>(), out));
  }
  template <size_t I>
  bool id_list(std::vector<int64_t>& out) const {
    return named<I>(to_id_list(arg<I>(), out));
  }
  template <size_t I>
  bool pair_list(std::vector<IdPair>& out) const {
    return named<I>(to_pair_list(arg<I>(), out));
  }

  // Runs work() with Ctrl-C polling, detached from the interpreter where
  // the description says so (native_call.hpp).
  template <class Work>
  decltype(auto) native(Work&& work) const {
    return call_native(C.attachment, std::forward<Work>(work));
  }

 private:
  template <size_t I>
  static bool named(bool converted) {
    if (!converted) argument_error(C.parameters[I].name);
    return converted;
  }

  const Slots& slots_;
  GraphState* graph_;
};

namespace call_detail {

template <const auto& C, auto Body>
PyObject* run(PyObject* self, const typename Call<C>::Slots& slots) {
  if constexpr (C.access == Access::kNone) {
    Call<C> call(slots, nullptr);
    return guard_native<PyObject*>(nullptr, [&] { return Body(call); });
  } else {
    static_assert(C.owner != nullptr || C.parameters.size() > 0, "a module function takes its graph first");
    GraphObject* graph;
    if constexpr (C.owner != nullptr) {
      graph = graph_receiver(self);
    } else {
      graph = graph_argument(slots[0], C.parameters[0].name);
    }
    if (!graph) return nullptr;
    using Borrow = std::conditional_t<C.access == Access::kShared, SharedBorrow, ExclusiveBorrow>;
    Borrow borrow(graph->borrow_flag, &kHolder<C>, C.shown_as);
    if (!borrow) return nullptr;
    Call<C> call(slots, &graph->state);
    return guard_native<PyObject*>(nullptr, [&] { return Body(call); });
  }
}

template <const auto& C, auto Body>
PyObject* fastcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  typename Call<C>::Slots slots;
  if (!bind_arguments(kSignature<C>, args, nargsf, kwnames, slots)) return nullptr;
  return run<C, Body>(self, slots);
}

template <const auto& C, auto Body>
PyObject* noargs(PyObject* self, PyObject*) {
  return run<C, Body>(self, {});
}

}  // namespace call_detail

// The method-table entry of callable C with body Body: METH_NOARGS without
// parameters (the interpreter rejects any argument), METH_FASTCALL |
// METH_KEYWORDS otherwise.
template <const auto& C, auto Body>
PyMethodDef def() {
  static_assert(std::is_invocable_r_v<PyObject*, decltype(Body), const Call<C>&>, "Body(const Call<C>&) -> PyObject*");
  if constexpr (C.parameters.size() == 0) {
    return {C.name, call_detail::noargs<C, Body>, METH_NOARGS, kStoredDoc<C>.data()};
  } else {
    return {C.name,
            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(call_detail::fastcall<C, Body>)),
            METH_FASTCALL | METH_KEYWORDS, kStoredDoc<C>.data()};
  }
}

}  // namespace arborvane::py
