// The IntGraphCore class: method table, type slots and one short function per
// method that binds, checks the receiver, borrows, converts, calls the native
// operation and converts the result back.
#include <atomic>
#include <new>
#include <vector>

#include "accel/kernels/analytics.hpp"
#include "accel/store/operations.hpp"
#include "module/arguments.hpp"
#include "module/bind.hpp"
#include "module/borrow.hpp"
#include "module/convert.hpp"
#include "module/errors.hpp"
#include "module/graph_object.hpp"
#include "module/native_call.hpp"

namespace arborvane::py {
namespace {

// ---- receiver, borrow and argument helpers ---------------------------------

std::atomic<PyObject*> g_graph_type{nullptr};

GraphObject* as_graph_checked(PyObject* self) {
  PyObject* type = graph_type();
  if (!type) return nullptr;
  if (!PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(type))) {
    raise_type_mismatch(self, type);
    return nullptr;
  }
  return reinterpret_cast<GraphObject*>(self);
}

// The receiver check: an object of exactly the class passes with one
// comparison, anything else takes the full check.
inline GraphObject* as_graph(PyObject* self) {
  PyObject* type = g_graph_type.load(std::memory_order_acquire);
  if (type && Py_IS_TYPE(self, reinterpret_cast<PyTypeObject*>(type))) {
    return reinterpret_cast<GraphObject*>(self);
  }
  return as_graph_checked(self);
}

// Receiver check, borrow, then body(state) with native faults translated.
template <class Borrow, class Body>
PyObject* with_graph(PyObject* self, Body&& body) {
  GraphObject* graph = as_graph(self);
  if (!graph) return nullptr;
  Borrow borrow(graph->borrow_flag);
  if (!borrow) return nullptr;
  return guard_native<PyObject*>(nullptr, [&] { return body(graph->state); });
}

bool arg_node_id(PyObject* obj, const char* name, int64_t* out) {
  if (to_node_id(obj, out)) return true;
  argument_error(name);
  return false;
}

bool arg_id_list(PyObject* obj, const char* name, std::vector<int64_t>& out) {
  if (to_id_list(obj, out)) return true;
  argument_error(name);
  return false;
}

bool arg_pair_list(PyObject* obj, const char* name, std::vector<IdPair>& out) {
  if (to_pair_list(obj, out)) return true;
  argument_error(name);
  return false;
}

PyObject* none() { return Py_NewRef(Py_None); }

// ---- signatures -------------------------------------------------------------

constexpr const char* kParamN[] = {"n"};
constexpr const char* kParamUV[] = {"u", "v"};
constexpr const char* kParamEdges[] = {"edges"};
constexpr const char* kParamFlat[] = {"flat"};
constexpr const char* kParamNodes[] = {"nodes"};
constexpr const char* kParamRandom[] = {"n", "m", "seed"};
constexpr const char* kParamPath[] = {"source", "target"};
constexpr const char* kParamPagerank[] = {"damping", "max_iter", "tol"};

constexpr MethodSignature kNewSig{"IntGraphCore.__new__()", nullptr, 0, 0};
constexpr MethodSignature kAddNodeSig{"IntGraphCore.add_node()", kParamN, 1, 1};
constexpr MethodSignature kAddEdgeSig{"IntGraphCore.add_edge()", kParamUV, 2, 2};
constexpr MethodSignature kAddEdgesFromSig{"IntGraphCore.add_edges_from()", kParamEdges, 1, 1};
constexpr MethodSignature kAddEdgesFlatSig{"IntGraphCore.add_edges_flat()", kParamFlat, 1, 1};
constexpr MethodSignature kAddNodesFromSig{"IntGraphCore.add_nodes_from()", kParamNodes, 1, 1};
constexpr MethodSignature kHasEdgeSig{"IntGraphCore.has_edge()", kParamUV, 2, 2};
constexpr MethodSignature kBuildRandomSig{"IntGraphCore.build_random()", kParamRandom, 3, 2};
constexpr MethodSignature kHasNodeSig{"IntGraphCore.has_node()", kParamN, 1, 1};
constexpr MethodSignature kNeighborsSig{"IntGraphCore.neighbors()", kParamN, 1, 1};
constexpr MethodSignature kDegreeSig{"IntGraphCore.degree()", kParamN, 1, 1};
constexpr MethodSignature kHasEdgesSig{"IntGraphCore.has_edges()", kParamEdges, 1, 1};
constexpr MethodSignature kShortestPathSig{"IntGraphCore.shortest_path_length()", kParamPath, 2, 2};
constexpr MethodSignature kSubgraphSig{"IntGraphCore.subgraph_edge_count()", kParamNodes, 1, 1};
constexpr MethodSignature kPagerankSig{"IntGraphCore.pagerank()", kParamPagerank, 3, 0};

#define ARBORVANE_BIND(sig)                                            \
  PyObject* slots[kMaxParameters];                                     \
  if (!bind_arguments(sig, args, nargsf, kwnames, slots)) return nullptr

#define ARBORVANE_FASTCALL(name) \
  PyObject* name(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames)

// ---- mutations --------------------------------------------------------------

ARBORVANE_FASTCALL(add_node) {
  ARBORVANE_BIND(kAddNodeSig);
  return with_graph<ExclusiveBorrow>(self, [&](GraphState& g) -> PyObject* {
    int64_t n;
    if (!arg_node_id(slots[0], "n", &n)) return nullptr;
    g.begin_mutation().insert_node(n);
    return none();
  });
}

ARBORVANE_FASTCALL(add_edge) {
  ARBORVANE_BIND(kAddEdgeSig);
  return with_graph<ExclusiveBorrow>(self, [&](GraphState& g) -> PyObject* {
    int64_t u, v;
    if (!arg_node_id(slots[0], "u", &u) || !arg_node_id(slots[1], "v", &v)) return nullptr;
    g.begin_mutation().insert_edge(u, v);
    return none();
  });
}

ARBORVANE_FASTCALL(add_edges_from_method) {
  ARBORVANE_BIND(kAddEdgesFromSig);
  return with_graph<ExclusiveBorrow>(self, [&](GraphState& g) -> PyObject* {
    std::vector<IdPair> pairs;
    if (!arg_pair_list(slots[0], "edges", pairs)) return nullptr;
    call_native(Attachment::kKeepWithLock, [&] { add_edges_from(g, pairs); });
    return none();
  });
}

ARBORVANE_FASTCALL(add_edges_flat_method) {
  ARBORVANE_BIND(kAddEdgesFlatSig);
  return with_graph<ExclusiveBorrow>(self, [&](GraphState& g) -> PyObject* {
    std::vector<int64_t> flat;
    if (!arg_id_list(slots[0], "flat", flat)) return nullptr;
    call_native(Attachment::kKeepWithLock, [&] { add_edges_flat(g, flat); });
    return none();
  });
}

ARBORVANE_FASTCALL(add_nodes_from_method) {
  ARBORVANE_BIND(kAddNodesFromSig);
  return with_graph<ExclusiveBorrow>(self, [&](GraphState& g) -> PyObject* {
    std::vector<int64_t> ids;
    if (!arg_id_list(slots[0], "nodes", ids)) return nullptr;
    call_native(Attachment::kKeepWithLock, [&] { add_nodes_from(g, ids); });
    return none();
  });
}

ARBORVANE_FASTCALL(build_random_method) {
  ARBORVANE_BIND(kBuildRandomSig);
  return with_graph<ExclusiveBorrow>(self, [&](GraphState& g) -> PyObject* {
    int64_t n;
    uint64_t m, seed;
    if (!arg_node_id(slots[0], "n", &n)) return nullptr;
    if (!arg_unsigned(slots[1], "m", 0, &m)) return nullptr;
    if (!arg_unsigned(slots[2], "seed", 42, &seed)) return nullptr;
    call_native(Attachment::kKeepWithLock, [&] { build_random(g, n, m, seed); });
    return none();
  });
}

// ---- queries ----------------------------------------------------------------

ARBORVANE_FASTCALL(has_edge) {
  ARBORVANE_BIND(kHasEdgeSig);
  return with_graph<SharedBorrow>(self, [&](GraphState& g) -> PyObject* {
    int64_t u, v;
    if (!arg_node_id(slots[0], "u", &u) || !arg_node_id(slots[1], "v", &v)) return nullptr;
    const NeighborSet* set = g.neighbors_of(u);
    return to_python_bool(set && set->contains(v));
  });
}

ARBORVANE_FASTCALL(has_node) {
  ARBORVANE_BIND(kHasNodeSig);
  return with_graph<SharedBorrow>(self, [&](GraphState& g) -> PyObject* {
    int64_t n;
    if (!arg_node_id(slots[0], "n", &n)) return nullptr;
    return to_python_bool(g.adjacency.contains(n));
  });
}

PyObject* number_of_nodes(PyObject* self, PyObject*) {
  return with_graph<SharedBorrow>(
      self, [](GraphState& g) { return to_python(static_cast<uint64_t>(g.adjacency.size())); });
}

PyObject* number_of_edges(PyObject* self, PyObject*) {
  return with_graph<SharedBorrow>(self, [](GraphState& g) { return to_python(g.edge_count); });
}

ARBORVANE_FASTCALL(neighbors) {
  ARBORVANE_BIND(kNeighborsSig);
  return with_graph<SharedBorrow>(self, [&](GraphState& g) -> PyObject* {
    int64_t n;
    if (!arg_node_id(slots[0], "n", &n)) return nullptr;
    const NeighborSet* set = g.neighbors_of(n);
    UninitializedBuffer<int64_t> ids(set ? set->size() : 0);
    if (set) set->copy_to(ids.data());
    return to_python_list(ids.span());
  });
}

ARBORVANE_FASTCALL(degree) {
  ARBORVANE_BIND(kDegreeSig);
  return with_graph<SharedBorrow>(self, [&](GraphState& g) -> PyObject* {
    int64_t n;
    if (!arg_node_id(slots[0], "n", &n)) return nullptr;
    const NeighborSet* set = g.neighbors_of(n);
    return to_python(static_cast<uint64_t>(set ? set->size() : 0));
  });
}

// Edge exports list each edge from its smaller end, so the first id repeats
// for a whole neighbour group: one int object is made per group and shared
// by its entries instead of one per entry (ints are immutable).
class RepeatedId {
 public:
  // A new reference to an int of value `id`.
  PyObject* get(int64_t id) {
    if (!object_ || id != id_) {
      object_ = PyRef(to_python(id));
      if (!object_) return nullptr;
      id_ = id;
    }
    return Py_NewRef(object_.get());
  }

 private:
  PyRef object_;
  int64_t id_ = 0;
};

PyObject* nodes(PyObject* self, PyObject*) {
  return with_graph<SharedBorrow>(self, [](GraphState& g) {
    std::vector<int64_t> ids = node_list(g);
    return to_python_list(std::span<const int64_t>(ids));
  });
}

PyObject* edges(PyObject* self, PyObject*) {
  return with_graph<SharedBorrow>(self, [](GraphState& g) {
    std::vector<IdPair> pairs = edge_list(g);
    RepeatedId first;
    return build_list(pairs.size(), [&](size_t i) {
      PyObject* u = first.get(pairs[i].first);
      return untracked_pair(u, u ? to_python(pairs[i].second) : nullptr);
    });
  });
}

PyObject* edges_flat(PyObject* self, PyObject*) {
  return with_graph<SharedBorrow>(self, [](GraphState& g) {
    std::vector<int64_t> ids = edge_list_flat(g);
    RepeatedId first;
    return build_list(ids.size(), [&](size_t i) {
      return i % 2 == 0 ? first.get(ids[i]) : to_python(ids[i]);
    });
  });
}

PyObject* degree_sequence(PyObject* self, PyObject*) {
  return with_graph<SharedBorrow>(self, [](GraphState& g) {
    std::vector<std::pair<int64_t, uint64_t>> degrees = degree_list(g);
    return build_list(degrees.size(), [&](size_t i) {
      return to_python_pair(degrees[i].first, degrees[i].second);
    });
  });
}

ARBORVANE_FASTCALL(has_edges_method) {
  ARBORVANE_BIND(kHasEdgesSig);
  return with_graph<SharedBorrow>(self, [&](GraphState& g) -> PyObject* {
    std::vector<IdPair> pairs;
    if (!arg_pair_list(slots[0], "edges", pairs)) return nullptr;
    std::vector<uint8_t> answers = call_native(Attachment::kKeepWithLock, [&] { return has_edges(g, pairs); });
    return build_list(answers.size(), [&](size_t i) { return to_python_bool(answers[i] != 0); });
  });
}

// ---- analytics --------------------------------------------------------------

PyObject* triangle_count_method(PyObject* self, PyObject*) {
  return with_graph<ExclusiveBorrow>(self, [](GraphState& g) {
    return to_python(call_native(Attachment::kKeepWithLock, [&] { return triangle_count(g); }));
  });
}

PyObject* connected_component_sizes_method(PyObject* self, PyObject*) {
  return with_graph<SharedBorrow>(self, [](GraphState& g) {
    std::vector<uint64_t> sizes =
        call_native(Attachment::kKeepWithLock, [&] { return connected_component_sizes(g); });
    return to_python_list(std::span<const uint64_t>(sizes));
  });
}

ARBORVANE_FASTCALL(shortest_path_length_method) {
  ARBORVANE_BIND(kShortestPathSig);
  return with_graph<SharedBorrow>(self, [&](GraphState& g) -> PyObject* {
    int64_t source, target;
    if (!arg_node_id(slots[0], "source", &source) || !arg_node_id(slots[1], "target", &target)) {
      return nullptr;
    }
    return to_python(
        call_native(Attachment::kKeepWithLock, [&] { return shortest_path_length(g, source, target); }));
  });
}

ARBORVANE_FASTCALL(subgraph_edge_count_method) {
  ARBORVANE_BIND(kSubgraphSig);
  return with_graph<SharedBorrow>(self, [&](GraphState& g) -> PyObject* {
    std::vector<int64_t> ids;
    if (!arg_id_list(slots[0], "nodes", ids)) return nullptr;
    return to_python(call_native(Attachment::kKeepWithLock, [&] { return subgraph_edge_count(g, ids); }));
  });
}

ARBORVANE_FASTCALL(pagerank_method) {
  ARBORVANE_BIND(kPagerankSig);
  return with_graph<ExclusiveBorrow>(self, [&](GraphState& g) -> PyObject* {
    double damping, tol;
    uint64_t max_iter;
    if (!arg_float(slots[0], "damping", 0.85, &damping)) return nullptr;
    if (!arg_unsigned(slots[1], "max_iter", 100, &max_iter)) return nullptr;
    if (!arg_float(slots[2], "tol", 1e-6, &tol)) return nullptr;
    UninitializedBuffer<double> scores =
        call_native(Attachment::kKeepWithLock, [&] { return pagerank(g, damping, max_iter, tol); });
    const std::vector<int64_t>& ids = g.csr->node_ids;
    return build_list(scores.size(), [&](size_t i) { return to_python_pair(ids[i], scores[i]); });
  });
}

#undef ARBORVANE_BIND
#undef ARBORVANE_FASTCALL

// ---- special methods --------------------------------------------------------

PyObject* graph_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* slots[kMaxParameters];
  if (!bind_arguments(kNewSig, args, kwargs, slots)) return nullptr;
  PyRef self(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  auto* graph = reinterpret_cast<GraphObject*>(self.get());
  new (&graph->borrow_flag) std::atomic<uintptr_t>(0);
  try {
    new (&graph->state) GraphState();
  } catch (...) {
    // The state was never built: free the bare object without running the
    // destructor that would tear the state down.
    graph->borrow_flag.~atomic();
    PyTypeObject* tp = Py_TYPE(self.get());
    tp->tp_free(self.release());
    Py_DECREF(tp);
    raise_from_native_exception();
    return nullptr;
  }
  return self.release();
}

void graph_dealloc(PyObject* self) {
  auto* graph = reinterpret_cast<GraphObject*>(self);
  graph->state.~GraphState();
  graph->borrow_flag.~atomic();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

Py_ssize_t graph_length(PyObject* self) {
  GraphObject* graph = as_graph(self);
  if (!graph) return -1;
  SharedBorrow borrow(graph->borrow_flag);
  if (!borrow) return -1;
  return static_cast<Py_ssize_t>(graph->state.adjacency.size());
}

int graph_contains(PyObject* self, PyObject* value) {
  GraphObject* graph = as_graph(self);
  if (!graph) return -1;
  SharedBorrow borrow(graph->borrow_flag);
  if (!borrow) return -1;
  int64_t n;
  if (!arg_node_id(value, "n", &n)) return -1;
  return graph->state.adjacency.contains(n) ? 1 : 0;
}

PyObject* graph_repr(PyObject* self) {
  return with_graph<SharedBorrow>(self, [](GraphState& g) {
    return PyUnicode_FromFormat("IntGraphCore(nodes=%zu, edges=%llu)", g.adjacency.size(),
                                static_cast<unsigned long long>(g.edge_count));
  });
}

// ---- the type ---------------------------------------------------------------

#define FASTCALL_METHOD(name, function, doc)                                           \
  {                                                                                    \
    name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(function)), \
        METH_FASTCALL | METH_KEYWORDS, doc                                             \
  }
#define NOARGS_METHOD(name, function, doc) \
  { name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(function)), METH_NOARGS, doc }

PyMethodDef kMethods[] = {
    FASTCALL_METHOD("add_node", add_node, "add_node($self, n)\n--\n\n"),
    FASTCALL_METHOD("add_edge", add_edge, "add_edge($self, u, v)\n--\n\n"),
    FASTCALL_METHOD("add_edges_from", add_edges_from_method, "add_edges_from($self, edges)\n--\n\n"),
    FASTCALL_METHOD("add_edges_flat", add_edges_flat_method, "add_edges_flat($self, flat)\n--\n\n"),
    FASTCALL_METHOD("add_nodes_from", add_nodes_from_method, "add_nodes_from($self, nodes)\n--\n\n"),
    FASTCALL_METHOD("has_edge", has_edge, "has_edge($self, u, v)\n--\n\n"),
    FASTCALL_METHOD("build_random", build_random_method,
                    "build_random($self, n, m, seed=42)\n--\n\n"
                    "Native bulk random graph generation (Er\xc5\x91s-R\xc3\xa9nyi G_{n,m} style)\n"
                    "Bypasses Python list allocations for massive benchmarks."),
    FASTCALL_METHOD("has_node", has_node, "has_node($self, n)\n--\n\n"),
    NOARGS_METHOD("number_of_nodes", number_of_nodes, "number_of_nodes($self)\n--\n\n"),
    NOARGS_METHOD("number_of_edges", number_of_edges, "number_of_edges($self)\n--\n\n"),
    FASTCALL_METHOD("neighbors", neighbors, "neighbors($self, n)\n--\n\n"),
    FASTCALL_METHOD("degree", degree, "degree($self, n)\n--\n\n"),
    NOARGS_METHOD("nodes", nodes, "nodes($self)\n--\n\n"),
    NOARGS_METHOD("edges", edges, "edges($self)\n--\n\n"),
    NOARGS_METHOD("edges_flat", edges_flat, "edges_flat($self)\n--\n\n"),
    NOARGS_METHOD("degree_sequence", degree_sequence, "degree_sequence($self)\n--\n\n"),
    FASTCALL_METHOD("has_edges", has_edges_method, "has_edges($self, edges)\n--\n\n"),
    NOARGS_METHOD("triangle_count", triangle_count_method,
                  "triangle_count($self)\n--\n\n"
                  "Triangle counting using CSR sorted merge-intersection.\n"
                  "The sorted adjacency in CSR enables SIMD-friendly sequential scans."),
    NOARGS_METHOD("connected_component_sizes", connected_component_sizes_method,
                  "connected_component_sizes($self)\n--\n\nConnected components via parallel BFS."),
    FASTCALL_METHOD("shortest_path_length", shortest_path_length_method,
                    "shortest_path_length($self, source, target)\n--\n\n"),
    FASTCALL_METHOD("subgraph_edge_count", subgraph_edge_count_method,
                    "subgraph_edge_count($self, nodes)\n--\n\n"),
    FASTCALL_METHOD("pagerank", pagerank_method,
                    "pagerank($self, damping=0.85, max_iter=100, tol=1e-6)\n--\n\n"
                    "SIMD-friendly PageRank using contiguous f64 arrays + rayon parallel scatter."),
    {nullptr, nullptr, 0, nullptr},
};

#undef FASTCALL_METHOD
#undef NOARGS_METHOD

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("IntGraphCore()\n--\n\nUltra-fast undirected integer-node graph.")},
    {Py_tp_new, reinterpret_cast<void*>(graph_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(graph_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(graph_repr)},
    {Py_mp_length, reinterpret_cast<void*>(graph_length)},
    {Py_sq_contains, reinterpret_cast<void*>(graph_contains)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "arborvane._accel.IntGraphCore",
    static_cast<int>(sizeof(GraphObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

}  // namespace

PyObject* graph_type() {
  PyObject* existing = g_graph_type.load(std::memory_order_acquire);
  if (existing) return existing;
  PyObject* created = PyType_FromSpec(&kSpec);
  if (!created) return nullptr;
  if (!g_graph_type.compare_exchange_strong(existing, created, std::memory_order_acq_rel)) {
    Py_DECREF(created);
    return existing;
  }
  return created;
}

}  // namespace arborvane::py
