// arborvane._arrays: the native half of arborvane's array and file functions.
//
// A second module in the same shared library as arborvane._accel (PEP 489:
// the library exports PyInit__arrays too, and the package loads it from
// _accel's file with ExtensionFileLoader), so both share one copy of the
// native core, its class object and its worker pool.
//
// Each function reaches the native state of the IntGraphCore it is given,
// takes that graph's borrow exactly as the class's methods do (shared to
// read, exclusive where the CSR snapshot may be built and cached), runs its
// native work detached from the interpreter with Ctrl-C polling, and hands
// results back as NativeArray buffers that numpy views without a copy. The
// Python functions in arborvane/arrays.py and arborvane/files.py are the
// public face; these are their building blocks.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <span>
#include <type_traits>

#include "accel/kernels/analytics.hpp"
#include "accel/formats/array_io.hpp"
#include "accel/store/operations.hpp"
#include "accel/parallel/worker_pool.hpp"
#include "module/arguments.hpp"
#include "module/bind.hpp"
#include "module/borrow.hpp"
#include "module/convert.hpp"
#include "module/errors.hpp"
#include "module/graph_object.hpp"
#include "module/main_interpreter.hpp"
#include "module/native_array.hpp"
#include "module/native_call.hpp"

namespace arborvane::py {
namespace {

// ---- arguments --------------------------------------------------------------

// The graph argument, type-checked: anything but an IntGraphCore raises
// TypeError "argument 'g': '{T}' object is not an instance of 'IntGraphCore'".
GraphObject* arg_graph(PyObject* obj) {
  PyObject* type = graph_type();
  if (!type) return nullptr;
  if (!PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(type))) {
    raise_type_mismatch(obj, type);
    argument_error("g");
    return nullptr;
  }
  return reinterpret_cast<GraphObject*>(obj);
}

// Type check, borrow, then body(state) with native faults translated.
template <class Borrow, class Body>
PyObject* with_graph(PyObject* obj, Body&& body) {
  GraphObject* graph = arg_graph(obj);
  if (!graph) return nullptr;
  Borrow borrow(graph->borrow_flag);
  if (!borrow) return nullptr;
  return guard_native<PyObject*>(nullptr, [&] { return body(graph->state); });
}

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

// A new, empty IntGraphCore to build into (null with an error set).
PyRef new_graph() { return PyRef(PyObject_CallNoArgs(graph_type())); }

// Builds a new graph by running build(state) detached; the graph is
// returned only when the build finished, and dropped on any failure.
template <class Build>
PyObject* build_new_graph(Build&& build) {
  if (!graph_type()) return nullptr;
  PyRef graph = new_graph();
  if (!graph) return nullptr;
  auto* object = reinterpret_cast<GraphObject*>(graph.get());
  {
    ExclusiveBorrow borrow(object->borrow_flag);
    if (!borrow) return nullptr;
    bool built = guard_native(false, [&] {
      call_native(Attachment::kDetach, [&] { build(object->state); });
      return true;
    });
    if (!built) return nullptr;
  }
  return graph.release();
}

// (ids, values): the snapshot's node ids and one value per node, written by
// fill(snapshot, values) detached, after building the snapshot if it is
// not cached (the caller holds the exclusive borrow).
template <class Value, class Fill>
PyObject* per_node_result(GraphState& g, Fill&& fill) {
  static_assert(std::is_same_v<Value, int64_t> || std::is_same_v<Value, double>);
  constexpr ElementType kValueType = std::is_same_v<Value, double> ? ElementType::kFloat64 : ElementType::kInt64;
  const CsrSnapshot& snap = call_native(Attachment::kDetach, [&]() -> const CsrSnapshot& { return ensure_csr(g); });
  const size_t n = snap.node_count();
  void *ids_data, *values_data;
  PyRef ids(new_native_array(ElementType::kInt64, n, 0, &ids_data));
  if (!ids) return nullptr;
  PyRef values(new_native_array(kValueType, n, 0, &values_data));
  if (!values) return nullptr;
  call_native(Attachment::kDetach, [&] {
    std::copy_n(snap.node_ids.data(), n, static_cast<int64_t*>(ids_data));
    fill(snap, std::span<Value>(static_cast<Value*>(values_data), n));
  });
  return tuple_of(ids.release(), values.release());
}

// An int64 NativeArray of `rows` (x `columns`) filled by fill(data) detached.
template <class Fill>
PyObject* filled_int64_array(size_t rows, size_t columns, Fill&& fill) {
  void* data;
  PyRef array(new_native_array(ElementType::kInt64, rows, columns, &data));
  if (!array) return nullptr;
  call_native(Attachment::kDetach, [&] { fill(static_cast<int64_t*>(data)); });
  return array.release();
}

// ---- signatures ---------------------------------------------------------------

constexpr const char* kParamG[] = {"g"};
constexpr const char* kParamPagerank[] = {"g", "damping", "max_iter", "tol"};
constexpr const char* kParamEdges[] = {"u", "v", "nodes"};
constexpr const char* kParamHead[] = {"head"};
constexpr const char* kParamImage[] = {"image"};
constexpr const char* kParamPairs[] = {"pairs"};
constexpr const char* kParamSource[] = {"g", "source"};
constexpr const char* kParamBetweenness[] = {"g", "k", "seed", "normalized"};

constexpr MethodSignature kNodeIdsSig{"node_ids()", kParamG, 1, 1};
constexpr MethodSignature kDegreesSig{"degrees()", kParamG, 1, 1};
constexpr MethodSignature kEdgePairsSig{"edge_pairs()", kParamG, 1, 1};
constexpr MethodSignature kPagerankSig{"pagerank_scores()", kParamPagerank, 4, 1};
constexpr MethodSignature kAdjacencySig{"adjacency_csr()", kParamG, 1, 1};
constexpr MethodSignature kFromEdgesSig{"graph_from_edges()", kParamEdges, 3, 3};
constexpr MethodSignature kFileImageSig{"graph_file_image()", kParamG, 1, 1};
constexpr MethodSignature kFileSizeSig{"graph_file_size()", kParamHead, 1, 1};
constexpr MethodSignature kFromImageSig{"graph_from_file_image()", kParamImage, 1, 1};
constexpr MethodSignature kEdgeLinesSig{"edge_lines()", kParamPairs, 1, 1};
constexpr MethodSignature kComponentLabelsSig{"component_labels()", kParamG, 1, 1};
constexpr MethodSignature kBfsDistancesSig{"bfs_distances()", kParamSource, 2, 2};
constexpr MethodSignature kCoreNumbersSig{"core_numbers()", kParamG, 1, 1};
constexpr MethodSignature kClusteringSig{"clustering_values()", kParamG, 1, 1};
constexpr MethodSignature kAverageClusteringSig{"average_clustering()", kParamG, 1, 1};
constexpr MethodSignature kTransitivitySig{"transitivity()", kParamG, 1, 1};
constexpr MethodSignature kBetweennessSig{"betweenness_scores()", kParamBetweenness, 4, 4};

constexpr Py_ssize_t kMostParameters = 4;

#define ARRAYS_BIND(sig)                                    \
  PyObject* slots[kMostParameters];                         \
  if (!bind_arguments(sig, args, nargsf, kwnames, slots)) return nullptr

#define ARRAYS_FASTCALL(name) \
  PyObject* name(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames)

// ---- exports ------------------------------------------------------------------

ARRAYS_FASTCALL(node_ids) {
  ARRAYS_BIND(kNodeIdsSig);
  return with_graph<SharedBorrow>(slots[0], [](GraphState& g) {
    return filled_int64_array(g.adjacency.size(), 0, [&](int64_t* out) { write_node_ids(g, out); });
  });
}

ARRAYS_FASTCALL(degrees) {
  ARRAYS_BIND(kDegreesSig);
  return with_graph<SharedBorrow>(slots[0], [](GraphState& g) {
    return filled_int64_array(g.adjacency.size(), 0, [&](int64_t* out) { write_degrees(g, out); });
  });
}

ARRAYS_FASTCALL(edge_pairs) {
  ARRAYS_BIND(kEdgePairsSig);
  return with_graph<SharedBorrow>(slots[0], [](GraphState& g) {
    return filled_int64_array(g.edge_count, 2, [&](int64_t* out) { write_edge_pairs(g, out); });
  });
}

// A failed conversion keeps the methods' message; an OverflowError also
// gets the argument's name. Returns `converted`.
bool named(bool converted, const char* name) {
  if (!converted && PyErr_ExceptionMatches(PyExc_OverflowError)) {
    PyRef exc = fetch_exception();
    PyErr_Format(PyExc_OverflowError, "argument '%s': %S", name, exc.get());
  }
  return converted;
}

// ValueError "<name> must be <rule>, got <repr(value)>"; takes `value`'s reference.
PyObject* out_of_range(const char* name, const char* rule, PyObject* value) {
  PyRef shown(value);
  if (shown) PyErr_Format(PyExc_ValueError, "%s must be %s, got %R", name, rule, shown.get());
  return nullptr;
}

// (ids, scores, converged): the scores of IntGraphCore.pagerank, computed by
// the same native function, with the ids they belong to in the same order,
// and whether the change fell below tol before max_iter ran out.
ARRAYS_FASTCALL(pagerank_scores) {
  ARRAYS_BIND(kPagerankSig);
  return with_graph<ExclusiveBorrow>(slots[0], [&](GraphState& g) -> PyObject* {
    double damping, tol;
    uint64_t max_iter;
    if (!named(arg_float(slots[1], "damping", 0.85, &damping), "damping")) return nullptr;
    if (!named(arg_unsigned(slots[2], "max_iter", 100, &max_iter), "max_iter")) return nullptr;
    if (!named(arg_float(slots[3], "tol", 1e-6, &tol), "tol")) return nullptr;
    // The function's own rules; IntGraphCore.pagerank runs with any values.
    if (!(damping >= 0.0 && damping <= 1.0)) return out_of_range("damping", "between 0 and 1", PyFloat_FromDouble(damping));
    if (max_iter < 1) return out_of_range("max_iter", "at least 1", PyLong_FromUnsignedLongLong(max_iter));
    if (!(tol >= 0.0 && std::isfinite(tol))) return out_of_range("tol", "finite and at least 0", PyFloat_FromDouble(tol));
    bool converged = false;
    PyRef pair(per_node_result<double>(g, [&](const CsrSnapshot&, std::span<double> out) {
      auto scores = pagerank(g, damping, max_iter, tol, &converged);
      std::copy(scores.data(), scores.data() + scores.size(), out.begin());
    }));
    if (!pair) return nullptr;
    return PyTuple_Pack(3, PyTuple_GET_ITEM(pair.get(), 0), PyTuple_GET_ITEM(pair.get(), 1),
                        converged ? Py_True : Py_False);
  });
}

// Copies the snapshot's index runs into `out` as Index values.
template <class Index>
void copy_runs(const CsrSnapshot& snap, Index* indptr, Index* indices) {
  size_t n = snap.node_count();
  for (size_t i = 0; i <= n; ++i) indptr[i] = static_cast<Index>(snap.offsets[i]);
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
ARRAYS_FASTCALL(adjacency_csr) {
  ARRAYS_BIND(kAdjacencySig);
  return with_graph<ExclusiveBorrow>(slots[0], [](GraphState& g) -> PyObject* {
    const CsrSnapshot& snap = call_native(Attachment::kDetach, [&]() -> const CsrSnapshot& { return ensure_csr(g); });
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
    call_native(Attachment::kDetach, [&] {
      std::copy_n(snap.node_ids.data(), n, static_cast<int64_t*>(ids_data));
      if (narrow) {
        copy_runs(snap, static_cast<int32_t*>(indptr_data), static_cast<int32_t*>(indices_data));
      } else {
        copy_runs(snap, static_cast<int64_t*>(indptr_data), static_cast<int64_t*>(indices_data));
      }
    });
    return tuple_of(ids.release(), indptr.release(), indices.release());
  });
}

// ---- building -------------------------------------------------------------------

// A new graph from int64 arrays u and v of equal length: the nodes of
// `nodes` first (None: none), then the edges (u[k], v[k]) in order, with
// exactly the effect of add_nodes_from and add_edges_flat.
ARRAYS_FASTCALL(graph_from_edges) {
  ARRAYS_BIND(kFromEdgesSig);
  BufferArg u, v, nodes;
  if (!u.int64s(slots[0], "u") || !v.int64s(slots[1], "v")) return nullptr;
  if (slots[2] != Py_None && !nodes.int64s(slots[2], "nodes")) return nullptr;
  if (u.as_int64s().size() != v.as_int64s().size()) {
    PyErr_SetString(PyExc_ValueError, "u and v must have the same length");
    return nullptr;
  }
  return build_new_graph([&](GraphState& g) {
    if (slots[2] != Py_None) add_nodes_from(g, nodes.as_int64s());
    add_edge_arrays(g, u.as_int64s(), v.as_int64s());
  });
}

// ---- graph files ----------------------------------------------------------------

ARRAYS_FASTCALL(graph_file_image) {
  ARRAYS_BIND(kFileImageSig);
  return with_graph<ExclusiveBorrow>(slots[0], [](GraphState& g) -> PyObject* {
    size_t size = call_native(Attachment::kDetach, [&] { return graph_file_size(g); });
    void* data;
    PyRef image(new_native_array(ElementType::kByte, size, 0, &data));
    if (!image) return nullptr;
    call_native(Attachment::kDetach, [&] { write_graph_file(g, static_cast<uint8_t*>(data)); });
    return image.release();
  });
}

ARRAYS_FASTCALL(graph_file_size_method) {
  ARRAYS_BIND(kFileSizeSig);
  BufferArg head;
  if (!head.bytes(slots[0], "head")) return nullptr;
  return guard_native<PyObject*>(nullptr, [&] {
    return to_python(static_cast<uint64_t>(graph_file_size_from_header(head.as_bytes())));
  });
}

ARRAYS_FASTCALL(graph_from_file_image) {
  ARRAYS_BIND(kFromImageSig);
  BufferArg image;
  if (!image.bytes(slots[0], "image")) return nullptr;
  return build_new_graph([&](GraphState& g) { read_graph_file(image.as_bytes(), g); });
}

// ---- edge-list text -------------------------------------------------------------

ARRAYS_FASTCALL(edge_lines) {
  ARRAYS_BIND(kEdgeLinesSig);
  BufferArg pairs;
  if (!pairs.int64s(slots[0], "pairs")) return nullptr;
  std::span<const int64_t> flat = pairs.as_int64s();
  void* data;
  PyRef text(new_native_array(ElementType::kByte, edge_lines_capacity(flat.size() / 2), 0, &data));
  if (!text) return nullptr;
  bool done = guard_native(false, [&] {
    size_t length = call_native(Attachment::kDetach, [&] { return format_edge_lines(flat, static_cast<char*>(data)); });
    shrink_native_array(text.get(), length);
    return true;
  });
  return done ? text.release() : nullptr;
}

// ---- analytics ------------------------------------------------------------------

// Each builds the snapshot if it is not cached, so each takes the exclusive
// borrow, as IntGraphCore.pagerank does.

template <class Value, class Kernel>
PyObject* per_node_analytic(PyObject* graph, Kernel kernel) {
  return with_graph<ExclusiveBorrow>(graph, [&](GraphState& g) { return per_node_result<Value>(g, kernel); });
}

template <class Kernel>
PyObject* scalar_analytic(PyObject* graph, Kernel kernel) {
  return with_graph<ExclusiveBorrow>(graph, [&](GraphState& g) {
    return to_python(call_native(Attachment::kDetach, [&] { return kernel(ensure_csr(g)); }));
  });
}

ARRAYS_FASTCALL(component_labels_function) {
  ARRAYS_BIND(kComponentLabelsSig);
  return per_node_analytic<int64_t>(slots[0], component_labels);
}

// A source that is not a node raises KeyError(source), before any work.
ARRAYS_FASTCALL(bfs_distances_function) {
  ARRAYS_BIND(kBfsDistancesSig);
  return with_graph<ExclusiveBorrow>(slots[0], [&](GraphState& g) -> PyObject* {
    int64_t source;
    if (!to_node_id(slots[1], &source)) {
      argument_error("source");
      return nullptr;
    }
    if (!g.neighbors_of(source)) {
      PyRef key(to_python(source));
      if (key) PyErr_SetObject(PyExc_KeyError, key.get());
      return nullptr;
    }
    return per_node_result<int64_t>(g, [source](const CsrSnapshot& snap, std::span<int64_t> out) {
      // One scan for the source's index: the search itself reads every node anyway.
      const auto& ids = snap.node_ids;
      bfs_distances(snap, static_cast<size_t>(std::find(ids.begin(), ids.end(), source) - ids.begin()), out);
    });
  });
}

ARRAYS_FASTCALL(core_numbers_function) {
  ARRAYS_BIND(kCoreNumbersSig);
  return per_node_analytic<int64_t>(slots[0], core_numbers);
}

ARRAYS_FASTCALL(clustering_values) {
  ARRAYS_BIND(kClusteringSig);
  return per_node_analytic<double>(slots[0], clustering);
}

ARRAYS_FASTCALL(average_clustering_function) {
  ARRAYS_BIND(kAverageClusteringSig);
  return scalar_analytic(slots[0], average_clustering);
}

ARRAYS_FASTCALL(transitivity_function) {
  ARRAYS_BIND(kTransitivitySig);
  return scalar_analytic(slots[0], transitivity);
}

// k: None for every source, else the number of sampled sources (1 to n);
// seed: an unsigned 64-bit integer; normalized: any object, by truth.
ARRAYS_FASTCALL(betweenness_scores) {
  ARRAYS_BIND(kBetweennessSig);
  return with_graph<ExclusiveBorrow>(slots[0], [&](GraphState& g) -> PyObject* {
    BetweennessOptions options;
    if (slots[1] != Py_None) {
      int64_t k;
      if (!to_node_id(slots[1], &k)) {
        argument_error("k");
        return nullptr;
      }
      const size_t n = g.adjacency.size();
      if (k < 1 || static_cast<uint64_t>(k) > n) {
        PyErr_Format(PyExc_ValueError, "k must be between 1 and the number of nodes (%zu), got %lld", n,
                     static_cast<long long>(k));
        return nullptr;
      }
      options.sample = static_cast<uint64_t>(k);
    }
    if (!to_unsigned(slots[2], &options.seed)) {
      argument_error("seed");
      return nullptr;
    }
    const int normalized = PyObject_IsTrue(slots[3]);
    if (normalized < 0) return nullptr;
    options.normalized = normalized != 0;
    return per_node_result<double>(g, [&options](const CsrSnapshot& snap, std::span<double> out) {
      betweenness_centrality(snap, options, out);
    });
  });
}

#undef ARRAYS_BIND
#undef ARRAYS_FASTCALL

// ---- the module -----------------------------------------------------------------

// The number of threads the worker pool runs, as it sized itself from the
// environment (created now if no parallel call has run yet).
PyObject* worker_threads(PyObject*, PyObject*) {
  return guard_native<PyObject*>(nullptr, [] { return to_python(static_cast<uint64_t>(worker_count())); });
}

#define FASTCALL_FUNCTION(name, function, doc)                                         \
  {                                                                                    \
    name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(function)), \
        METH_FASTCALL | METH_KEYWORDS, doc                                             \
  }

PyMethodDef kFunctions[] = {
    FASTCALL_FUNCTION("node_ids", node_ids, "node_ids($module, g)\n--\n\nNode ids in nodes() order (int64)."),
    FASTCALL_FUNCTION("degrees", degrees, "degrees($module, g)\n--\n\nDegrees aligned with node_ids (int64)."),
    FASTCALL_FUNCTION("edge_pairs", edge_pairs, "edge_pairs($module, g)\n--\n\nEdges in edges() order, m x 2 (int64)."),
    FASTCALL_FUNCTION("pagerank_scores", pagerank_scores,
                      "pagerank_scores($module, g, damping=0.85, max_iter=100, tol=1e-06)\n--\n\n"
                      "(ids, scores, converged) of IntGraphCore.pagerank."),
    FASTCALL_FUNCTION("adjacency_csr", adjacency_csr,
                      "adjacency_csr($module, g)\n--\n\n(ids, indptr, indices) of the adjacency matrix."),
    FASTCALL_FUNCTION("graph_from_edges", graph_from_edges,
                      "graph_from_edges($module, u, v, nodes)\n--\n\n"
                      "A new IntGraphCore from int64 buffers (nodes may be None)."),
    FASTCALL_FUNCTION("graph_file_image", graph_file_image,
                      "graph_file_image($module, g)\n--\n\nThe bytes of the graph's binary file."),
    FASTCALL_FUNCTION("graph_file_size", graph_file_size_method,
                      "graph_file_size($module, head)\n--\n\nThe file size that a graph file's header announces."),
    FASTCALL_FUNCTION("graph_from_file_image", graph_from_file_image,
                      "graph_from_file_image($module, image)\n--\n\nA new IntGraphCore from a graph file's bytes."),
    FASTCALL_FUNCTION("edge_lines", edge_lines,
                      "edge_lines($module, pairs)\n--\n\nEdge-list text, one 'u v' line per pair of ids."),
    {"worker_threads", worker_threads, METH_NOARGS,
     "worker_threads($module)\n--\n\nThreads of the worker pool (created now if not yet running)."},
    FASTCALL_FUNCTION("component_labels", component_labels_function,
                      "component_labels($module, g)\n--\n\n(ids, labels): components numbered in first-met order."),
    FASTCALL_FUNCTION("bfs_distances", bfs_distances_function,
                      "bfs_distances($module, g, source)\n--\n\n(ids, hops from source), -1 where unreachable."),
    FASTCALL_FUNCTION("core_numbers", core_numbers_function,
                      "core_numbers($module, g)\n--\n\n(ids, core number of every node), self-loops ignored."),
    FASTCALL_FUNCTION("clustering_values", clustering_values,
                      "clustering_values($module, g)\n--\n\n(ids, local clustering coefficients)."),
    FASTCALL_FUNCTION("average_clustering", average_clustering_function,
                      "average_clustering($module, g)\n--\n\nMean local clustering coefficient (0.0 without nodes)."),
    FASTCALL_FUNCTION("transitivity", transitivity_function,
                      "transitivity($module, g)\n--\n\nThree times the triangles over the connected triples."),
    FASTCALL_FUNCTION("betweenness_scores", betweenness_scores,
                      "betweenness_scores($module, g, k, seed, normalized)\n--\n\n"
                      "(ids, betweenness) over all sources (k None) or k sampled ones."),
    {nullptr, nullptr, 0, nullptr},
};

#undef FASTCALL_FUNCTION

// This module reaches into IntGraphCore objects, whose class is one
// process-wide object, so like _accel it is refused outside the main
// interpreter.
int exec_module(PyObject* module) {
  if (refuse_subinterpreter("arborvane._arrays")) return -1;
  if (!graph_type()) return -1;
  PyTypeObject* array_type = native_array_type();
  if (!array_type) return -1;
  return PyModule_AddObjectRef(module, "NativeArray", reinterpret_cast<PyObject*>(array_type));
}

PyModuleDef_Slot kModuleSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "_arrays",
    "Native building blocks of arborvane's array and file functions.",
    0,
    kFunctions,
    kModuleSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace arborvane::py

PyMODINIT_FUNC PyInit__arrays(void) { return PyModuleDef_Init(&arborvane::py::kModuleDef); }
