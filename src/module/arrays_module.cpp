// arborvane._arrays: the native half of arborvane's array and file functions.
//
// A second module in the same shared library as arborvane._accel (PEP 489:
// the library exports PyInit__arrays too, and the package loads it from
// _accel's file with ExtensionFileLoader), so both share one copy of the
// native core, its class object and its worker pool.
//
// Each function reaches the native state of the IntGraphCore it is given
// and takes that graph's shared borrow, so any number of them read one graph
// together; where the CSR snapshot must be built first, one of them builds
// it while the others wait (SnapshotCache). Native work runs detached from
// the interpreter with Ctrl-C polling, and results go back as NativeArray
// buffers that numpy views without a copy. The Python functions in
// arborvane/arrays.py, analytics.py and files.py are the public face; these
// are their building blocks. Each is one description (callable.hpp), one
// body and one line of the table at the end.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <span>
#include <type_traits>

#include "accel/formats/array_io.hpp"
#include "accel/kernels/analytics.hpp"
#include "accel/parallel/worker_pool.hpp"
#include "accel/store/operations.hpp"
#include "module/analytic.hpp"
#include "module/arguments.hpp"
#include "module/call.hpp"
#include "module/csr_graph_functions.hpp"
#include "module/main_interpreter.hpp"
#include "module/module_slots.hpp"
#include "module/native_array.hpp"

namespace arborvane::py {
namespace {

// ---- helpers -----------------------------------------------------------------

// A read-only view of a buffer argument, released on scope exit (which
// comes after any detached work that reads it has finished).
class BufferArg {
 public:
  BufferArg() = default;
  BufferArg(const BufferArg&) = delete;
  BufferArg& operator=(const BufferArg&) = delete;
  ~BufferArg() {
    if (held_) PyBuffer_Release(&view_);
  }

  // Any C-contiguous buffer, read as bytes.
  bool bytes(PyObject* obj, const char* name) {
    if (!acquire(obj, PyBUF_C_CONTIGUOUS)) return fail(name);
    return true;
  }

  // A C-contiguous buffer of native int64 values.
  bool int64s(PyObject* obj, const char* name) {
    if (!acquire(obj, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT)) return fail(name);
    const char* format = view_.format ? view_.format : "B";
    if (*format == '@' || *format == '=') ++format;
    if (view_.itemsize != 8 || (std::strcmp(format, "q") != 0 && std::strcmp(format, "l") != 0)) {
      PyErr_Format(PyExc_TypeError, "argument '%s': expected a contiguous buffer of int64, got format '%s'", name,
                   view_.format ? view_.format : "B");
      return false;
    }
    return true;
  }

  std::span<const uint8_t> as_bytes() const {
    return {static_cast<const uint8_t*>(view_.buf), static_cast<size_t>(view_.len)};
  }
  std::span<const int64_t> as_int64s() const {
    return {static_cast<const int64_t*>(view_.buf), static_cast<size_t>(view_.len) / sizeof(int64_t)};
  }

 private:
  bool acquire(PyObject* obj, int flags) {
    if (PyObject_GetBuffer(obj, &view_, flags) < 0) return false;
    held_ = true;
    return true;
  }
  static bool fail(const char* name) {
    argument_error(name);
    return false;
  }

  Py_buffer view_{};
  bool held_ = false;
};

// A tuple of new references (all stolen); null if any is null.
template <class... Items>
PyObject* tuple_of(Items... items) {
  PyRef refs[] = {PyRef(items)...};
  for (const PyRef& ref : refs) {
    if (!ref) return nullptr;
  }
  PyObject* tuple = PyTuple_New(sizeof...(Items));
  if (!tuple) return nullptr;
  for (size_t i = 0; i < sizeof...(Items); ++i) PyTuple_SET_ITEM(tuple, i, refs[i].release());
  return tuple;
}

// Builds a new graph by running build(state) natively; the graph is
// returned only when the build finished, and dropped on any failure.
template <const auto& C, class Build>
PyObject* build_new_graph(const Call<C>& c, Build&& build) {
  PyObject* type = graph_type();
  if (!type) return nullptr;
  PyRef graph(PyObject_CallNoArgs(type));
  if (!graph) return nullptr;
  auto* object = reinterpret_cast<GraphObject*>(graph.get());
  {
    ExclusiveBorrow borrow(object->borrow_flag, &kHolder<C>, C.shown_as);
    if (!borrow) return nullptr;
    c.native([&] { build(object->state); });
  }
  return graph.release();
}

// The graph's snapshot, built first if it is not cached.
template <const auto& C>
const CsrSnapshot& snapshot(const Call<C>& c) {
  return c.native([&]() -> const CsrSnapshot& { return ensure_csr(c.graph()); });
}

// (ids, values): the snapshot's node ids and one value per node, written by
// fill(snapshot, values) natively.
template <class Value, const auto& C, class Fill>
PyObject* per_node_result(const Call<C>& c, Fill&& fill) {
  static_assert(std::is_same_v<Value, int64_t> || std::is_same_v<Value, double>);
  constexpr ElementType kValueType = std::is_same_v<Value, double> ? ElementType::kFloat64 : ElementType::kInt64;
  const CsrSnapshot& snap = snapshot(c);
  const size_t n = snap.node_count();
  void *ids_data, *values_data;
  PyRef ids(new_native_array(ElementType::kInt64, n, 0, &ids_data));
  if (!ids) return nullptr;
  PyRef values(new_native_array(kValueType, n, 0, &values_data));
  if (!values) return nullptr;
  c.native([&] {
    std::copy_n(snap.node_ids.data(), n, static_cast<int64_t*>(ids_data));
    fill(snap, std::span<Value>(static_cast<Value*>(values_data), n));
  });
  return tuple_of(ids.release(), values.release());
}

// An int64 NativeArray of `rows` (x `columns`) filled by fill(data) natively.
template <const auto& C, class Fill>
PyObject* filled_int64_array(const Call<C>& c, size_t rows, size_t columns, Fill&& fill) {
  void* data;
  PyRef array(new_native_array(ElementType::kInt64, rows, columns, &data));
  if (!array) return nullptr;
  c.native([&] { fill(static_cast<int64_t*>(data)); });
  return array.release();
}

// Hands the analytics an IntGraphCore g (analytic.hpp): its cached
// snapshot, built first when absent, read under the shared borrow.
struct StoreSource {
  static constexpr auto kParameters = std::to_array<Parameter>({{"g"}});
  static constexpr Access kAccess = Access::kShared;

  template <class Value, const auto& C, class Fill>
  static PyObject* per_node(const Call<C>& c, Fill&& fill) {
    return per_node_result<Value>(c, fill);
  }

  template <const auto& C, class Work>
  static PyObject* scalar(const Call<C>& c, Work&& work) {
    const CsrSnapshot& snap = snapshot(c);
    return to_python(c.native([&] { return work(snap); }));
  }
};

// The table entry of an analytic of an IntGraphCore: (ids, values) for a
// per-node kernel, a number otherwise.
template <auto Kernel, Literal kName, Literal kDoc, Literal kShownAs = "">
PyMethodDef analytic() {
  return analytic_entry<StoreSource, Kernel, kName, kDoc, kShownAs>();
}

// ---- exports ------------------------------------------------------------------

constexpr auto kNodeIds = function("node_ids", {"g"}, Access::kShared, "Node ids in nodes() order (int64).",
                                   "node_array");
PyObject* node_ids(const Call<kNodeIds>& c) {
  return filled_int64_array(c, c.graph().adjacency.size(), 0, [&](int64_t* out) { write_node_ids(c.graph(), out); });
}

constexpr auto kDegrees = function("degrees", {"g"}, Access::kShared, "Degrees aligned with node_ids (int64).",
                                   "degree_array");
PyObject* degrees(const Call<kDegrees>& c) {
  return filled_int64_array(c, c.graph().adjacency.size(), 0, [&](int64_t* out) { write_degrees(c.graph(), out); });
}

constexpr auto kEdgePairs = function("edge_pairs", {"g"}, Access::kShared, "Edges in edges() order, m x 2 (int64).",
                                     "edge_array");
PyObject* edge_pairs(const Call<kEdgePairs>& c) {
  return filled_int64_array(c, c.graph().edge_count, 2, [&](int64_t* out) { write_edge_pairs(c.graph(), out); });
}

// (ids, scores, converged): the scores of IntGraphCore.pagerank, computed by
// the same native function, with the ids they belong to in the same order,
// and whether the change fell below tol before max_iter ran out.
constexpr auto kPagerankScores = function("pagerank_scores", join({"g"}, kPagerankParameters), Access::kShared,
                                          "(ids, scores, converged) of IntGraphCore.pagerank.", "pagerank_array");
PyObject* pagerank_scores(const Call<kPagerankScores>& c) {
  PagerankOptions o;
  if (!checked_pagerank_options<1>(c, &o)) return nullptr;
  bool converged = false;
  PyRef pair(per_node_result<double>(c, [&](const CsrSnapshot&, std::span<double> out) {
    auto scores = pagerank(c.graph(), o.damping, o.max_iter, o.tol, &converged);
    std::copy(scores.data(), scores.data() + scores.size(), out.begin());
  }));
  if (!pair) return nullptr;
  return PyTuple_Pack(3, PyTuple_GET_ITEM(pair.get(), 0), PyTuple_GET_ITEM(pair.get(), 1),
                      converged ? Py_True : Py_False);
}

// Copies the snapshot's index runs into `out` as Index values.
template <class Index>
void copy_runs(const CsrSnapshot& snap, Index* indptr, Index* indices) {
  size_t n = snap.node_count();
  for (size_t i = 0; i <= n; ++i) {
    poll_interrupt_every(i, size_t{1} << 20);
    indptr[i] = static_cast<Index>(snap.offsets[i]);
  }
  snap.with_neighbor_index([&](const auto* runs) {
    size_t count = snap.entry_count();
    for (size_t k = 0; k < count; ++k) {
      poll_interrupt_every(k, size_t{1} << 20);
      indices[k] = static_cast<Index>(runs[k]);
    }
  });
}

// (ids, indptr, indices): the adjacency as compressed sparse rows over node
// positions in ids order, each row ascending; int32 indices when every
// position and the entry count fit, int64 otherwise.
constexpr auto kAdjacencyCsr = function("adjacency_csr", {"g"}, Access::kShared,
                                        "(ids, indptr, indices) of the adjacency matrix.", "to_scipy_sparse");
PyObject* adjacency_csr(const Call<kAdjacencyCsr>& c) {
  const CsrSnapshot& snap = snapshot(c);
  size_t n = snap.node_count(), entries = snap.entry_count();
  constexpr size_t kInt32Max = static_cast<size_t>(std::numeric_limits<int32_t>::max());
  bool narrow = n <= kInt32Max && entries <= kInt32Max;
  ElementType index_type = narrow ? ElementType::kInt32 : ElementType::kInt64;
  void *ids_data, *indptr_data, *indices_data;
  PyRef ids(new_native_array(ElementType::kInt64, n, 0, &ids_data));
  if (!ids) return nullptr;
  PyRef indptr(new_native_array(index_type, n + 1, 0, &indptr_data));
  if (!indptr) return nullptr;
  PyRef indices(new_native_array(index_type, entries, 0, &indices_data));
  if (!indices) return nullptr;
  c.native([&] {
    in_polled_steps(n, size_t{1} << 20, [&](size_t from, size_t to) {
      std::copy(snap.node_ids.data() + from, snap.node_ids.data() + to, static_cast<int64_t*>(ids_data) + from);
    });
    if (narrow) {
      copy_runs(snap, static_cast<int32_t*>(indptr_data), static_cast<int32_t*>(indices_data));
    } else {
      copy_runs(snap, static_cast<int64_t*>(indptr_data), static_cast<int64_t*>(indices_data));
    }
  });
  return tuple_of(ids.release(), indptr.release(), indices.release());
}

// ---- building -------------------------------------------------------------------

// A new graph from int64 arrays u and v of equal length: the nodes of
// `nodes` first (None: none), then the edges (u[k], v[k]) in order, with
// exactly the effect of add_nodes_from and add_edges_flat.
constexpr auto kGraphFromEdges = function("graph_from_edges", {"u", "v", "nodes"}, Access::kNone,
                                          "A new IntGraphCore from int64 buffers (nodes may be None).", "from_arrays");
PyObject* graph_from_edges(const Call<kGraphFromEdges>& c) {
  BufferArg u, v, nodes;
  const bool with_nodes = c.arg<2>() != Py_None;
  if (!u.int64s(c.arg<0>(), "u") || !v.int64s(c.arg<1>(), "v")) return nullptr;
  if (with_nodes && !nodes.int64s(c.arg<2>(), "nodes")) return nullptr;
  if (u.as_int64s().size() != v.as_int64s().size()) {
    PyErr_SetString(PyExc_ValueError, "u and v must have the same length");
    return nullptr;
  }
  return build_new_graph(c, [&](GraphState& g) {
    if (with_nodes) add_nodes_from(g, nodes.as_int64s());
    add_edge_arrays(g, u.as_int64s(), v.as_int64s());
  });
}

// ---- graph files ----------------------------------------------------------------

constexpr auto kGraphFileImage = function("graph_file_image", {"g"}, Access::kShared,
                                          "The bytes of the graph's binary file.", "save");
PyObject* graph_file_image(const Call<kGraphFileImage>& c) {
  size_t size = c.native([&] { return graph_file_size(c.graph()); });
  void* data;
  PyRef image(new_native_array(ElementType::kByte, size, 0, &data));
  if (!image) return nullptr;
  c.native([&] { write_graph_file(c.graph(), static_cast<uint8_t*>(data)); });
  return image.release();
}

constexpr auto kGraphFileSize = function("graph_file_size", {"head"}, Access::kNone,
                                         "The file size that a graph file's header announces.", "load");
PyObject* graph_file_size_function(const Call<kGraphFileSize>& c) {
  BufferArg head;
  if (!head.bytes(c.arg<0>(), "head")) return nullptr;
  return to_python(static_cast<uint64_t>(graph_file_size_from_header(head.as_bytes())));
}

constexpr auto kGraphFromFileImage = function("graph_from_file_image", {"image"}, Access::kNone,
                                              "A new IntGraphCore from a graph file's bytes.", "load");
PyObject* graph_from_file_image(const Call<kGraphFromFileImage>& c) {
  BufferArg image;
  if (!image.bytes(c.arg<0>(), "image")) return nullptr;
  return build_new_graph(c, [&](GraphState& g) { read_graph_file(image.as_bytes(), g); });
}

// ---- edge-list text -------------------------------------------------------------

constexpr auto kEdgeLines = function("edge_lines", {"pairs"}, Access::kNone,
                                     "Edge-list text, one 'u v' line per pair of ids.", "write_edgelist");
PyObject* edge_lines(const Call<kEdgeLines>& c) {
  BufferArg pairs;
  if (!pairs.int64s(c.arg<0>(), "pairs")) return nullptr;
  std::span<const int64_t> flat = pairs.as_int64s();
  void* data;
  PyRef text(new_native_array(ElementType::kByte, edge_lines_capacity(flat.size() / 2), 0, &data));
  if (!text) return nullptr;
  size_t length = c.native([&] { return format_edge_lines(flat, static_cast<char*>(data)); });
  shrink_native_array(text.get(), length);
  return text.release();
}

// The number of threads the next parallel call uses: the last
// set_worker_threads, else as the environment says.
constexpr auto kWorkerThreads = function("worker_threads", "Threads that the next parallel call uses.");
PyObject* worker_threads(const Call<kWorkerThreads>&) { return to_python(static_cast<uint64_t>(worker_count())); }

// Sets the worker pool's size for the parallel calls that start from now on
// (0: one thread per available CPU); a call already running keeps its threads.
constexpr auto kSetWorkerThreads = function("set_worker_threads", {"n"}, Access::kNone,
                                            "Threads for the parallel calls from now on (0: one per CPU).",
                                            "set_num_threads");
PyObject* set_worker_threads(const Call<kSetWorkerThreads>& c) {
  PyObject* arg = c.arg<0>();
  if (!PyIndex_Check(arg)) {
    PyErr_Format(PyExc_TypeError, "n must be an integer, not %.200s", Py_TYPE(arg)->tp_name);
    return nullptr;
  }
  PyRef index(PyNumber_Index(arg));
  if (!index) return nullptr;
  int overflow = 0;
  const long long n = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (n == -1 && PyErr_Occurred()) return nullptr;
  if (overflow != 0 || n < 0 || static_cast<unsigned long long>(n) > kMaxWorkerThreads) {
    PyErr_Format(PyExc_ValueError, "n must be 0 (one thread per available CPU) or a thread count up to %zu, got %R",
                 kMaxWorkerThreads, arg);
    return nullptr;
  }
  set_worker_count(static_cast<size_t>(n));
  Py_RETURN_NONE;
}

// ---- analytics ------------------------------------------------------------------

// A source that is not a node raises KeyError(source), before any work.
constexpr auto kBfsDistances = function("bfs_distances", {"g", "source"}, Access::kShared,
                                        "(ids, hops from source), -1 where unreachable.");
PyObject* bfs_distances_function(const Call<kBfsDistances>& c) {
  int64_t source;
  if (!c.node_id<1>(&source)) return nullptr;
  if (!c.graph().neighbors_of(source)) {
    PyRef key(to_python(source));
    if (key) PyErr_SetObject(PyExc_KeyError, key.get());
    return nullptr;
  }
  return per_node_result<int64_t>(c, [source](const CsrSnapshot& snap, std::span<int64_t> out) {
    // One scan for the source's index: the search itself reads every node anyway.
    const auto& ids = snap.node_ids;
    bfs_distances(snap, static_cast<size_t>(std::find(ids.begin(), ids.end(), source) - ids.begin()), out);
  });
}

// k: None for every source, else the number of sampled sources (1 to n);
// seed: an unsigned 64-bit integer; normalized: any object, by truth.
constexpr auto kBetweenness = function("betweenness_scores", {"g", "k", "seed", "normalized"}, Access::kShared,
                                       "(ids, betweenness) over all sources (k None) or k sampled ones.",
                                       "betweenness_centrality");
PyObject* betweenness_scores(const Call<kBetweenness>& c) {
  BetweennessOptions options;
  if (c.arg<1>() != Py_None) {
    int64_t k;
    if (!c.node_id<1>(&k)) return nullptr;
    const size_t n = c.graph().adjacency.size();
    if (k < 1 || static_cast<uint64_t>(k) > n) {
      PyErr_Format(PyExc_ValueError, "k must be between 1 and the number of nodes (%zu), got %lld", n,
                   static_cast<long long>(k));
      return nullptr;
    }
    options.sample = static_cast<uint64_t>(k);
  }
  if (!c.count<2>(&options.seed)) return nullptr;
  const int normalized = PyObject_IsTrue(c.arg<3>());
  if (normalized < 0) return nullptr;
  options.normalized = normalized != 0;
  return per_node_result<double>(c, [&options](const CsrSnapshot& snap, std::span<double> out) {
    betweenness_centrality(snap, options, out);
  });
}

// ---- communities ----------------------------------------------------------------

// (ids, labels) of Louvain or Leiden; iterations at least 1.
template <const auto& C, void (*kKernel)(const CsrSnapshot&, const CommunityOptions&, std::span<int64_t>)>
PyObject* multilevel_labels(const Call<C>& c) {
  CommunityOptions options;
  if (!resolution_arg<1>(c, &options.resolution) || !c.template count<2>(&options.seed) ||
      !c.template count<3>(&options.iterations)) {
    return nullptr;
  }
  if (options.iterations == 0) {
    PyErr_SetString(PyExc_ValueError, "iterations must be at least 1");
    return nullptr;
  }
  return per_node_result<int64_t>(c, [&options](const CsrSnapshot& snap, std::span<int64_t> out) {
    kKernel(snap, options, out);
  });
}

constexpr auto kLouvainLabels = function("louvain_labels", {"g", "resolution", "seed", "iterations"},
                                         Access::kShared, "(ids, Louvain community labels).",
                                         "louvain_communities");
PyObject* louvain_labels(const Call<kLouvainLabels>& c) { return multilevel_labels<kLouvainLabels, louvain_communities>(c); }

constexpr auto kLeidenLabels = function("leiden_labels", {"g", "resolution", "seed", "iterations"},
                                        Access::kShared, "(ids, Leiden community labels).",
                                        "leiden_communities");
PyObject* leiden_labels(const Call<kLeidenLabels>& c) { return multilevel_labels<kLeidenLabels, leiden_communities>(c); }

constexpr auto kLabelPropagationLabels = function("label_propagation_labels", {"g", "seed"}, Access::kShared,
                                                  "(ids, label propagation communities).",
                                                  "label_propagation_communities");
PyObject* label_propagation_labels(const Call<kLabelPropagationLabels>& c) {
  uint64_t seed;
  if (!c.count<1>(&seed)) return nullptr;
  return per_node_result<int64_t>(c, [seed](const CsrSnapshot& snap, std::span<int64_t> out) {
    label_propagation_communities(snap, seed, out);
  });
}

// labels: int64, one per node in node_ids order, each in [0, n); NaN for a
// graph without edges.
constexpr auto kModularityValue = function("modularity_value", {"g", "labels", "resolution"}, Access::kShared,
                                           "Modularity of int64 labels in node_ids order.", "modularity");
PyObject* modularity_value(const Call<kModularityValue>& c) {
  BufferArg labels;
  double resolution;
  if (!labels.int64s(c.arg<1>(), "labels") || !resolution_arg<2>(c, &resolution)) return nullptr;
  const std::span<const int64_t> values = labels.as_int64s();
  const size_t n = c.graph().adjacency.size();
  if (values.size() != n) {
    PyErr_Format(PyExc_ValueError, "labels must have one value per node (%zu), got %zu", n, values.size());
    return nullptr;
  }
  if (!std::all_of(values.begin(), values.end(), [n](int64_t v) { return v >= 0 && static_cast<uint64_t>(v) < n; })) {
    PyErr_SetString(PyExc_ValueError, "labels must lie in [0, number of nodes)");
    return nullptr;
  }
  if (c.graph().edge_count == 0) return to_python(std::numeric_limits<double>::quiet_NaN());  // 0 / 0
  return to_python(c.native([&] { return modularity(ensure_csr(c.graph()), values, resolution); }));
}

// ---- the module -----------------------------------------------------------------

PyMethodDef kFunctions[] = {
    def<kNodeIds, node_ids>(),
    def<kDegrees, degrees>(),
    def<kEdgePairs, edge_pairs>(),
    def<kPagerankScores, pagerank_scores>(),
    def<kAdjacencyCsr, adjacency_csr>(),
    def<kGraphFromEdges, graph_from_edges>(),
    def<kGraphFileImage, graph_file_image>(),
    def<kGraphFileSize, graph_file_size_function>(),
    def<kGraphFromFileImage, graph_from_file_image>(),
    def<kEdgeLines, edge_lines>(),
    def<kWorkerThreads, worker_threads>(),
    def<kSetWorkerThreads, set_worker_threads>(),
    analytic<component_labels, "component_labels", "(ids, labels): components numbered in first-met order.">(),
    def<kBfsDistances, bfs_distances_function>(),
    analytic<core_numbers, "core_numbers", "(ids, core number of every node), self-loops ignored.",
             "core_number">(),
    analytic<clustering, "clustering_values", "(ids, local clustering coefficients).", "clustering">(),
    analytic<average_clustering, "average_clustering", "Mean local clustering coefficient (0.0 without nodes).">(),
    analytic<transitivity, "transitivity", "Three times the triangles over the connected triples.">(),
    def<kBetweenness, betweenness_scores>(),
    analytic<degree_centrality, "degree_centrality", "(ids, degree / (n - 1)), a self-loop counted twice.">(),
    def<kLouvainLabels, louvain_labels>(),
    def<kLeidenLabels, leiden_labels>(),
    def<kLabelPropagationLabels, label_propagation_labels>(),
    def<kModularityValue, modularity_value>(),
    {nullptr, nullptr, 0, nullptr},
};

// This module reaches into IntGraphCore objects, whose class is one
// process-wide object, so like _accel it is refused outside the main
// interpreter.
int exec_module(PyObject* module) {
  if (refuse_subinterpreter("arborvane._arrays")) return -1;
  if (!graph_type()) return -1;
  if (PyModule_AddFunctions(module, kCsrGraphFunctions) < 0) return -1;
  PyTypeObject* array_type = native_array_type();
  if (!array_type) return -1;
  return PyModule_AddObjectRef(module, "NativeArray", reinterpret_cast<PyObject*>(array_type));
}

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "_arrays",
    "Native building blocks of arborvane's array and file functions.",
    0,
    kFunctions,
    kModuleSlots<exec_module>,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace arborvane::py

PyMODINIT_FUNC PyInit__arrays(void) { return PyModuleDef_Init(&arborvane::py::kModuleDef); }
