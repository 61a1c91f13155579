// The IntGraphCore class: one description and one short body per method
// (the body converts, calls the native operation and converts the result
// back; binding, the receiver check and the borrow come from the
// description, call.hpp), the method table in its fixed order, the special
// methods and the type slots.
#include <atomic>
#include <new>
#include <span>
#include <vector>

#include "accel/kernels/analytics.hpp"
#include "accel/store/operations.hpp"
#include "module/arguments.hpp"
#include "module/call.hpp"

namespace arborvane::py {
namespace {

PyObject* none() { return Py_NewRef(Py_None); }

// ---- mutations --------------------------------------------------------------

constexpr auto kAddNode = method("add_node", {"n"}, Access::kExclusive);
PyObject* add_node(const Call<kAddNode>& c) {
  int64_t n;
  if (!c.node_id<0>(&n)) return nullptr;
  c.graph().begin_mutation().insert_node(n);
  return none();
}

constexpr auto kAddEdge = method("add_edge", {"u", "v"}, Access::kExclusive);
PyObject* add_edge(const Call<kAddEdge>& c) {
  int64_t u, v;
  if (!c.node_id<0>(&u) || !c.node_id<1>(&v)) return nullptr;
  c.graph().begin_mutation().insert_edge(u, v);
  return none();
}

constexpr auto kAddEdgesFrom = method("add_edges_from", {"edges"}, Access::kExclusive);
PyObject* add_edges_from_method(const Call<kAddEdgesFrom>& c) {
  std::vector<IdPair> pairs;
  if (!c.pair_list<0>(pairs)) return nullptr;
  c.native([&] { add_edges_from(c.graph(), pairs); });
  return none();
}

constexpr auto kAddEdgesFlat = method("add_edges_flat", {"flat"}, Access::kExclusive);
PyObject* add_edges_flat_method(const Call<kAddEdgesFlat>& c) {
  std::vector<int64_t> flat;
  if (!c.id_list<0>(flat)) return nullptr;
  c.native([&] { add_edges_flat(c.graph(), flat); });
  return none();
}

constexpr auto kAddNodesFrom = method("add_nodes_from", {"nodes"}, Access::kExclusive);
PyObject* add_nodes_from_method(const Call<kAddNodesFrom>& c) {
  std::vector<int64_t> ids;
  if (!c.id_list<0>(ids)) return nullptr;
  c.native([&] { add_nodes_from(c.graph(), ids); });
  return none();
}

constexpr auto kBuildRandom = method("build_random", {"n", "m", {"seed", "42"}}, Access::kExclusive,
                                     "Native bulk random graph generation (Er\xc5\x91s-R\xc3\xa9nyi G_{n,m} style)\n"
                                     "Bypasses Python list allocations for massive benchmarks.");
PyObject* build_random_method(const Call<kBuildRandom>& c) {
  int64_t n;
  uint64_t m, seed;
  if (!c.node_id<0>(&n) || !c.count<1>(&m) || !c.count<2>(&seed)) return nullptr;
  c.native([&] { build_random(c.graph(), n, m, seed); });
  return none();
}

// ---- queries ----------------------------------------------------------------

constexpr auto kHasEdge = method("has_edge", {"u", "v"}, Access::kShared);
PyObject* has_edge(const Call<kHasEdge>& c) {
  int64_t u, v;
  if (!c.node_id<0>(&u) || !c.node_id<1>(&v)) return nullptr;
  const NeighborSet* set = c.graph().neighbors_of(u);
  return to_python_bool(set && set->contains(v));
}

constexpr auto kHasNode = method("has_node", {"n"}, Access::kShared);
PyObject* has_node(const Call<kHasNode>& c) {
  int64_t n;
  if (!c.node_id<0>(&n)) return nullptr;
  return to_python_bool(c.graph().adjacency.contains(n));
}

constexpr auto kNumberOfNodes = method("number_of_nodes", Access::kShared);
PyObject* number_of_nodes(const Call<kNumberOfNodes>& c) {
  return to_python(static_cast<uint64_t>(c.graph().adjacency.size()));
}

constexpr auto kNumberOfEdges = method("number_of_edges", Access::kShared);
PyObject* number_of_edges(const Call<kNumberOfEdges>& c) { return to_python(c.graph().edge_count); }

constexpr auto kNeighbors = method("neighbors", {"n"}, Access::kShared);
PyObject* neighbors(const Call<kNeighbors>& c) {
  int64_t n;
  if (!c.node_id<0>(&n)) return nullptr;
  const NeighborSet* set = c.graph().neighbors_of(n);
  UninitializedBuffer<int64_t> ids(set ? set->size() : 0);
  if (set) set->copy_to(ids.data());
  return to_python_list(ids.span());
}

constexpr auto kDegree = method("degree", {"n"}, Access::kShared);
PyObject* degree(const Call<kDegree>& c) {
  int64_t n;
  if (!c.node_id<0>(&n)) return nullptr;
  const NeighborSet* set = c.graph().neighbors_of(n);
  return to_python(static_cast<uint64_t>(set ? set->size() : 0));
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

constexpr auto kNodes = method("nodes", Access::kShared);
PyObject* nodes(const Call<kNodes>& c) {
  std::vector<int64_t> ids = c.native([&] { return node_list(c.graph()); });
  return to_python_list(std::span<const int64_t>(ids));
}

constexpr auto kEdges = method("edges", Access::kShared);
PyObject* edges(const Call<kEdges>& c) {
  std::vector<IdPair> pairs = c.native([&] { return edge_list(c.graph()); });
  RepeatedId first;
  return build_list(pairs.size(), [&](size_t i) {
    PyObject* u = first.get(pairs[i].first);
    return untracked_pair(u, u ? to_python(pairs[i].second) : nullptr);
  });
}

constexpr auto kEdgesFlat = method("edges_flat", Access::kShared);
PyObject* edges_flat(const Call<kEdgesFlat>& c) {
  std::vector<int64_t> ids = c.native([&] { return edge_list_flat(c.graph()); });
  RepeatedId first;
  return build_list(ids.size(), [&](size_t i) { return i % 2 == 0 ? first.get(ids[i]) : to_python(ids[i]); });
}

constexpr auto kDegreeSequence = method("degree_sequence", Access::kShared);
PyObject* degree_sequence(const Call<kDegreeSequence>& c) {
  std::vector<std::pair<int64_t, uint64_t>> degrees = c.native([&] { return degree_list(c.graph()); });
  return build_list(degrees.size(), [&](size_t i) { return to_python_pair(degrees[i].first, degrees[i].second); });
}

constexpr auto kHasEdges = method("has_edges", {"edges"}, Access::kShared);
PyObject* has_edges_method(const Call<kHasEdges>& c) {
  std::vector<IdPair> pairs;
  if (!c.pair_list<0>(pairs)) return nullptr;
  std::vector<uint8_t> answers = c.native([&] { return has_edges(c.graph(), pairs); });
  return build_list(answers.size(), [&](size_t i) { return to_python_bool(answers[i] != 0); });
}

// ---- analytics --------------------------------------------------------------

constexpr auto kTriangleCount = method("triangle_count", Access::kExclusiveRead,
                                       "Triangle counting using CSR sorted merge-intersection.\n"
                                       "The sorted adjacency in CSR enables SIMD-friendly sequential scans.");
PyObject* triangle_count_method(const Call<kTriangleCount>& c) {
  return to_python(c.native([&] { return triangle_count(c.graph()); }));
}

constexpr auto kComponentSizes = method("connected_component_sizes", Access::kShared,
                                        "Connected components via parallel BFS.");
PyObject* connected_component_sizes_method(const Call<kComponentSizes>& c) {
  std::vector<uint64_t> sizes = c.native([&] { return connected_component_sizes(c.graph()); });
  return to_python_list(std::span<const uint64_t>(sizes));
}

constexpr auto kShortestPath = method("shortest_path_length", {"source", "target"}, Access::kShared);
PyObject* shortest_path_length_method(const Call<kShortestPath>& c) {
  int64_t source, target;
  if (!c.node_id<0>(&source) || !c.node_id<1>(&target)) return nullptr;
  return to_python(c.native([&] { return shortest_path_length(c.graph(), source, target); }));
}

constexpr auto kSubgraphEdgeCount = method("subgraph_edge_count", {"nodes"}, Access::kShared);
PyObject* subgraph_edge_count_method(const Call<kSubgraphEdgeCount>& c) {
  std::vector<int64_t> ids;
  if (!c.id_list<0>(ids)) return nullptr;
  return to_python(c.native([&] { return subgraph_edge_count(c.graph(), ids); }));
}

constexpr auto kPagerank = method("pagerank", kPagerankParameters, Access::kExclusiveRead,
                                  "SIMD-friendly PageRank using contiguous f64 arrays + rayon parallel scatter.");
PyObject* pagerank_method(const Call<kPagerank>& c) {
  PagerankOptions options;
  if (!pagerank_options<0>(c, &options)) return nullptr;
  UninitializedBuffer<double> scores =
      c.native([&] { return pagerank(c.graph(), options.damping, options.max_iter, options.tol); });
  const std::span<const int64_t> ids = c.graph().csr->node_ids;
  return build_list(scores.size(), [&](size_t i) { return to_python_pair(ids[i], scores[i]); });
}

// ---- special methods --------------------------------------------------------

constexpr auto kNew = method("__new__", Access::kNone);

PyObject* graph_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (!bind_arguments(kSignature<kNew>, args, kwargs, nullptr)) return nullptr;
  PyRef self(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  auto* graph = reinterpret_cast<GraphObject*>(self.get());
  new (&graph->borrow_flag) BorrowFlag();
  try {
    new (&graph->state) GraphState();
  } catch (...) {
    // The state was never built: free the bare object without running the
    // destructor that would tear the state down.
    graph->borrow_flag.~BorrowFlag();
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
  graph->borrow_flag.~BorrowFlag();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// Receiver check and shared borrow for the slots that are not methods;
// read(state) runs under the borrow, `failed` is returned otherwise.
template <class Result, class Read>
Result read_graph(PyObject* self, Result failed, Read&& read) {
  GraphObject* graph = graph_receiver(self);
  if (!graph) return failed;
  SharedBorrow borrow(graph->borrow_flag);
  if (!borrow) return failed;
  return read(graph->state);
}

Py_ssize_t graph_length(PyObject* self) {
  return read_graph<Py_ssize_t>(self, -1, [](GraphState& g) { return static_cast<Py_ssize_t>(g.adjacency.size()); });
}

int graph_contains(PyObject* self, PyObject* value) {
  return read_graph(self, -1, [&](GraphState& g) {
    int64_t n;
    if (!to_node_id(value, &n)) {
      argument_error("n");
      return -1;
    }
    return g.adjacency.contains(n) ? 1 : 0;
  });
}

PyObject* graph_repr(PyObject* self) {
  return read_graph<PyObject*>(self, nullptr, [](GraphState& g) {
    return PyUnicode_FromFormat("IntGraphCore(nodes=%zu, edges=%llu)", g.adjacency.size(),
                                static_cast<unsigned long long>(g.edge_count));
  });
}

// ---- the type ---------------------------------------------------------------

PyMethodDef kMethods[] = {
    def<kAddNode, add_node>(),
    def<kAddEdge, add_edge>(),
    def<kAddEdgesFrom, add_edges_from_method>(),
    def<kAddEdgesFlat, add_edges_flat_method>(),
    def<kAddNodesFrom, add_nodes_from_method>(),
    def<kHasEdge, has_edge>(),
    def<kBuildRandom, build_random_method>(),
    def<kHasNode, has_node>(),
    def<kNumberOfNodes, number_of_nodes>(),
    def<kNumberOfEdges, number_of_edges>(),
    def<kNeighbors, neighbors>(),
    def<kDegree, degree>(),
    def<kNodes, nodes>(),
    def<kEdges, edges>(),
    def<kEdgesFlat, edges_flat>(),
    def<kDegreeSequence, degree_sequence>(),
    def<kHasEdges, has_edges_method>(),
    def<kTriangleCount, triangle_count_method>(),
    def<kComponentSizes, connected_component_sizes_method>(),
    def<kShortestPath, shortest_path_length_method>(),
    def<kSubgraphEdgeCount, subgraph_edge_count_method>(),
    def<kPagerank, pagerank_method>(),
    {nullptr, nullptr, 0, nullptr},
};

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

GraphObject* graph_detail::checked_receiver(PyObject* self) {
  PyObject* type = graph_type();
  if (!type) return nullptr;
  if (!PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(type))) {
    raise_type_mismatch(self, type);
    return nullptr;
  }
  return reinterpret_cast<GraphObject*>(self);
}

GraphObject* graph_argument(PyObject* obj, const char* name) {
  GraphObject* graph = graph_receiver(obj);
  if (!graph) argument_error(name);
  return graph;
}

PyObject* graph_type() {
  std::atomic<PyObject*>& created_type = graph_detail::created_type;
  PyObject* existing = created_type.load(std::memory_order_acquire);
  if (existing) return existing;
  PyObject* created = PyType_FromSpec(&kSpec);
  if (!created) return nullptr;
  if (!created_type.compare_exchange_strong(existing, created, std::memory_order_acq_rel)) {
    Py_DECREF(created);
    return existing;
  }
  return created;
}

}  // namespace arborvane::py
