// The native half of arborvane.Graph (python/arborvane/graph.py): kernels
// over CSR arrays that the Python object owns, added to arborvane._arrays.
// The undirected analytics run the snapshot kernels of IntGraphCore over
// those arrays where they are (CsrSnapshot::over_rows), through the same
// table entries (analytic.hpp).
//
// These functions take no graph object: they read the numpy arrays they
// are given through the buffer protocol, check them (shape, types, and
// that they form a valid CSR) before any kernel reads an index, run the
// kernel detached from the interpreter with Ctrl-C polling, and return
// NativeArray results.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <span>

#include "accel/csr_graph/csr_build.hpp"
#include "accel/csr_graph/csr_graph.hpp"
#include "accel/kernels/analytics.hpp"
#include "module/analytic.hpp"
#include "module/arguments.hpp"
#include "accel/csr_graph/matvec.hpp"
#include "module/call.hpp"
#include "module/csr_graph_functions.hpp"
#include "module/native_array.hpp"

namespace arborvane::py {
namespace {

// A read-only, one-dimensional numeric buffer argument, C-contiguous unless
// read_strided, released on scope exit (after any detached work that reads
// it).
class NumericArg {
 public:
  enum Kind : unsigned { kInt32 = 1, kInt64 = 2, kFloat32 = 4, kFloat64 = 8 };

  NumericArg() = default;
  NumericArg(const NumericArg&) = delete;
  NumericArg& operator=(const NumericArg&) = delete;
  ~NumericArg() {
    if (held_) PyBuffer_Release(&view_);
  }

  // Reads `obj` as one of the kinds in `accepted` (a mask of Kind); None or
  // an omitted argument (null) is accepted (as absent) when `optional`.
  bool read(PyObject* obj, const char* name, unsigned accepted, bool optional = false) {
    if (optional && (!obj || obj == Py_None)) return true;
    return get(obj, name, accepted, PyBUF_C_CONTIGUOUS);
  }

  // Reads `obj` as read() does, any strides allowed (stride()).
  bool read_strided(PyObject* obj, const char* name, unsigned accepted, bool optional = false) {
    if (optional && (!obj || obj == Py_None)) return true;
    return get(obj, name, accepted, PyBUF_STRIDES);
  }

  bool present() const noexcept { return held_; }
  unsigned kind() const noexcept { return kind_; }
  const void* data() const noexcept { return view_.buf; }
  PyObject* owner() const noexcept { return held_ ? view_.obj : nullptr; }
  size_t size() const noexcept { return held_ ? static_cast<size_t>(view_.len / view_.itemsize) : 0; }
  // Bytes from one element to the next.
  std::ptrdiff_t stride() const noexcept {
    return view_.ndim == 1 && view_.strides ? view_.strides[0] : view_.itemsize;
  }

 private:
  bool get(PyObject* obj, const char* name, unsigned accepted, int flags) {
    if (PyObject_GetBuffer(obj, &view_, flags | PyBUF_FORMAT) < 0) {
      argument_error(name);
      return false;
    }
    held_ = true;
    const char* format = view_.format ? view_.format : "B";
    if (*format == '@' || *format == '=') ++format;
    char code = format[1] == '\0' ? format[0] : '?';
    kind_ = 0;
    if (code == 'i' && view_.itemsize == 4) kind_ = kInt32;
    if ((code == 'q' || code == 'l') && view_.itemsize == 8) kind_ = kInt64;
    if (code == 'f' && view_.itemsize == 4) kind_ = kFloat32;
    if (code == 'd' && view_.itemsize == 8) kind_ = kFloat64;
    if (!(kind_ & accepted) || view_.ndim > 1) {
      PyErr_Format(PyExc_TypeError, "argument '%s': unsupported array (format '%s', %d dimensions)", name,
                   view_.format ? view_.format : "B", view_.ndim);
      return false;
    }
    return true;
  }

  Py_buffer view_{};
  bool held_ = false;
  unsigned kind_ = 0;
};

// The three arrays of one set of rows, read and described.
struct RowsArg {
  NumericArg indptr, indices, weights;
  CsrArrays csr;

  bool read(PyObject* p, PyObject* i, PyObject* w) {
    if (!indptr.read(p, "indptr", NumericArg::kInt64) ||
        !indices.read(i, "indices", NumericArg::kInt32 | NumericArg::kInt64) ||
        !weights.read(w, "weights", NumericArg::kFloat32 | NumericArg::kFloat64, true)) {
      return false;
    }
    if (indptr.size() == 0 || (weights.present() && weights.size() != indices.size())) {
      PyErr_SetString(PyExc_ValueError, "indptr must be non-empty and weights as long as indices");
      return false;
    }
    csr.n = indptr.size() - 1;
    csr.indptr = static_cast<const int64_t*>(indptr.data());
    csr.indices = indices.data();
    csr.wide = indices.kind() == NumericArg::kInt64;
    csr.entries = indices.size();
    csr.weights = weights.present() ? weights.data() : nullptr;
    csr.weight_type = !weights.present()                           ? WeightType::kNone
                      : weights.kind() == NumericArg::kFloat32     ? WeightType::kFloat32
                                                                   : WeightType::kFloat64;
    return true;
  }
};

// Checks the rows natively; ValueError when they are not a valid CSR.
template <const auto& C>
bool checked(const Call<C>& c, const RowsArg& rows) {
  if (c.native([&] { return valid_csr(rows.csr); })) return true;
  PyErr_SetString(PyExc_ValueError, "indptr and indices do not form a valid CSR graph");
  return false;
}

// ValueError unless every weight is >= 0 (`what` names the algorithm).
template <const auto& C>
bool non_negative(const Call<C>& c, const RowsArg& rows, const char* what) {
  if (!c.native([&] { return has_negative_weight(rows.csr); })) return true;
  PyErr_Format(PyExc_ValueError, "weights: %s needs weights >= 0, found a negative or NaN weight", what);
  return false;
}

// A node index argument below n.
template <size_t I, const auto& C>
bool node_index(const Call<C>& c, size_t n, uint64_t* out) {
  if (!c.template count<I>(out)) return false;
  if (*out >= n) {
    PyErr_Format(PyExc_IndexError, "node index %llu out of range for %zu nodes", static_cast<unsigned long long>(*out),
                 n);
    return false;
  }
  return true;
}

template <class Value>
PyObject* new_array(size_t n, Value** data) {
  constexpr ElementType kType = std::is_same_v<Value, double> ? ElementType::kFloat64 : ElementType::kInt64;
  void* raw;
  PyObject* array = new_native_array(kType, n, 0, &raw);
  *data = static_cast<Value*>(raw);
  return array;
}

constexpr auto kRows = std::to_array<Parameter>({{"indptr"}, {"indices"}, {"weights"}});

// ---- building -------------------------------------------------------------------

bool duplicate_rule(PyObject* obj, DuplicateRule* out) {
  static constexpr std::pair<const char*, DuplicateRule> kRules[] = {
      {"sum", DuplicateRule::kSum}, {"min", DuplicateRule::kMin}, {"last", DuplicateRule::kLast},
      {"error", DuplicateRule::kError}};
  if (const char* text = PyUnicode_Check(obj) ? PyUnicode_AsUTF8(obj) : nullptr) {
    for (const auto& [name, rule] : kRules) {
      if (std::strcmp(text, name) == 0) {
        *out = rule;
        return true;
      }
    }
  }
  if (!PyErr_Occurred()) {
    PyErr_Format(PyExc_ValueError, "argument 'duplicates': must be sum, min, last or error, got %R", obj);
  }
  return false;
}

// New rows (indptr, indices, weights or None) of `entries` entries, their
// memory described in *out; frozen (read-only to Python), the indices with
// their indptr when `undirected`: CsrBuild writes an undirected graph's rows
// as the analytics read them (each row strictly ascending, every entry
// mirrored), so undirected_snapshot need not check them again.
PyObject* new_rows(size_t n, size_t entries, bool wide, WeightType weight_type, bool undirected, RowsOut* out) {
  void* indptr;
  PyRef indptr_array(new_native_array(ElementType::kInt64, n + 1, 0, &indptr));
  if (!indptr_array) return nullptr;
  PyRef indices_array(new_native_array(wide ? ElementType::kInt64 : ElementType::kInt32, entries, 0, &out->indices));
  if (!indices_array) return nullptr;
  PyRef weights_array(Py_NewRef(Py_None));
  out->weights = nullptr;
  out->weight_type = weight_type;
  if (weight_type != WeightType::kNone) {
    const ElementType type = weight_type == WeightType::kFloat32 ? ElementType::kFloat32 : ElementType::kFloat64;
    weights_array = PyRef(new_native_array(type, entries, 0, &out->weights));
    if (!weights_array) return nullptr;
  }
  out->indptr = static_cast<int64_t*>(indptr);
  freeze_native_array(indptr_array.get());
  freeze_native_array(indices_array.get(), undirected ? indptr_array.get() : nullptr);
  if (weights_array.get() != Py_None) freeze_native_array(weights_array.get());
  return PyTuple_Pack(3, indptr_array.get(), indices_array.get(), weights_array.get());
}

// A truth-value argument.
template <size_t I, const auto& C>
bool flag(const Call<C>& c, bool* out) {
  const int truth = PyObject_IsTrue(c.template arg<I>());
  if (truth < 0) return false;
  *out = truth != 0;
  return true;
}

// The codes of one end of the edges, as the caller's array holds them.
CodeArray code_array(const NumericArg& a) {
  return {a.data(), a.size(), a.stride(), a.kind() == NumericArg::kInt64};
}

constexpr auto kBuild = function(
    "csr_build",
    std::to_array<Parameter>(
        {{"u"}, {"v"}, {"weights"}, {"n"}, {"directed"}, {"duplicates"}, {"float32"}, {"rank", "None"}}),
    Access::kNone,
    "(rows, in_rows, edges, duplicate) of the edges u -> v (int32 or int64 codes below n, any strides; with rank: "
    "ids, each node's code rank[id]), parallel ones merged.",
    "from_edges");
PyObject* csr_build(const Call<kBuild>& c) {
  constexpr unsigned kCodes = NumericArg::kInt32 | NumericArg::kInt64;
  NumericArg u, v, weights, rank;
  EdgeCodes edges;
  uint64_t n;
  if (!u.read_strided(c.arg<0>(), "u", kCodes) || !v.read_strided(c.arg<1>(), "v", kCodes) ||
      !weights.read(c.arg<2>(), "weights", NumericArg::kFloat32 | NumericArg::kFloat64, true) ||
      !c.count<3>(&n) || !duplicate_rule(c.arg<5>(), &edges.rule) ||
      !rank.read(c.arg<7>(), "rank", NumericArg::kInt64, true)) {
    return nullptr;
  }
  bool directed, float32;
  if (!flag<4>(c, &directed) || !flag<6>(c, &float32)) return nullptr;
  if (weights.present() && weights.size() != u.size()) {
    PyErr_SetString(PyExc_ValueError, "argument 'weights': must have one value per edge");
    return nullptr;
  }
  edges.n = static_cast<size_t>(n);
  edges.u = code_array(u);
  edges.v = code_array(v);
  edges.rank = {static_cast<const int64_t*>(rank.data()), rank.size()};
  edges.weights = weights.present() ? weights.data() : nullptr;
  edges.weight_type = !weights.present()                        ? WeightType::kNone
                      : weights.kind() == NumericArg::kFloat32 ? WeightType::kFloat32
                                                               : WeightType::kFloat64;
  edges.directed = directed;
  std::unique_ptr<CsrBuild> build = c.native([&] { return std::make_unique<CsrBuild>(edges); });
  PyRef edge_count(to_python(static_cast<uint64_t>(build->edges())));
  if (!edge_count) return nullptr;
  if (const auto duplicate = build->first_duplicate()) {
    PyRef pair(to_python_pair(duplicate->first, duplicate->second));
    if (!pair) return nullptr;
    return PyTuple_Pack(4, Py_None, Py_None, edge_count.get(), pair.get());
  }
  const WeightType out_type = !weights.present() ? WeightType::kNone
                              : float32          ? WeightType::kFloat32
                                                 : WeightType::kFloat64;
  RowsOut rows_out, in_out;
  PyRef rows(new_rows(edges.n, build->entries(), build->wide(), out_type, !edges.directed, &rows_out));
  if (!rows) return nullptr;
  PyRef in_rows(Py_NewRef(Py_None));
  if (edges.directed) {
    in_rows = PyRef(new_rows(edges.n, build->entries(), build->wide(), out_type, false, &in_out));
    if (!in_rows) return nullptr;
  }
  c.native([&] {
    build->write_rows(rows_out);
    if (edges.directed) build->write_in_rows(in_out);
  });
  return PyTuple_Pack(4, rows.get(), in_rows.get(), edge_count.get(), Py_None);
}

// The int32 or int64 (any strides) label arrays u, v and nodes (None:
// none), as CodeArrays; false with the error set when one is not.
struct LabelArgs {
  NumericArg u, v, nodes;
  CodeArray parts[3];

  template <const auto& C>
  bool read(const Call<C>& c) {
    constexpr unsigned kIds = NumericArg::kInt32 | NumericArg::kInt64;
    if (!u.read_strided(c.template arg<0>(), "u", kIds) || !v.read_strided(c.template arg<1>(), "v", kIds) ||
        !nodes.read_strided(c.template arg<2>(), "nodes", kIds, true)) {
      return false;
    }
    parts[0] = code_array(u);
    parts[1] = code_array(v);
    parts[2] = code_array(nodes);
    return true;
  }
  size_t count() const noexcept { return u.size() + v.size() + nodes.size(); }
  bool wide() const noexcept { return parts[0].wide || parts[1].wide || parts[2].wide; }

  static constexpr auto kParameters = std::to_array<Parameter>({{"u"}, {"v"}, {"nodes"}});
};

// A new int64 (wide) or int32 array of n values, filled natively by
// fill(values), values the typed span of its memory.
template <const auto& C, class Fill>
PyObject* filled_int_array(const Call<C>& c, bool wide, size_t n, Fill&& fill) {
  void* data;
  PyRef array(new_native_array(wide ? ElementType::kInt64 : ElementType::kInt32, n, 0, &data));
  if (!array) return nullptr;
  c.native([&] {
    if (wide) {
      fill(std::span(static_cast<int64_t*>(data), n));
    } else {
      fill(std::span(static_cast<int32_t*>(data), n));
    }
  });
  return array.release();
}

constexpr auto kLabelCodes =
    function("label_codes", LabelArgs::kParameters, Access::kNone,
             "(labels, codes): the distinct values of u, v and nodes (int32 or int64, any strides; nodes may be "
             "None) ascending (int64), each value's index (int32 below 2**31 values, else int64).",
             "from_edges");
PyObject* label_codes(const Call<kLabelCodes>& c) {
  LabelArgs args;
  if (!args.read(c)) return nullptr;
  const size_t count = args.count();
  std::vector<int64_t> distinct;
  PyRef codes_array(filled_int_array(c, count > static_cast<size_t>(std::numeric_limits<int32_t>::max()), count,
                                     [&](auto codes) { distinct = arborvane::label_codes(args.parts, codes); }));
  if (!codes_array) return nullptr;
  int64_t* labels;
  PyRef labels_array(new_array(distinct.size(), &labels));
  if (!labels_array) return nullptr;
  std::copy(distinct.begin(), distinct.end(), labels);
  return PyTuple_Pack(2, labels_array.get(), codes_array.get());
}

constexpr auto kDenseIds =
    function("dense_ids", LabelArgs::kParameters, Access::kNone,
             "(labels, rank) of ids in [0, 2 * count + 1024) (int32 or int64, any strides; nodes may be None): the "
             "distinct ids ascending (int64 if any array is, else int32) and each id's index among them (int64; "
             "None when no id up to the largest is missing); the least id for other ids, None for no ids.",
             "from_edges");
PyObject* dense_ids(const Call<kDenseIds>& c) {
  LabelArgs args;
  if (!args.read(c)) return nullptr;
  if (args.count() == 0) Py_RETURN_NONE;
  int64_t least = 0;
  std::optional<DenseIds> ids = c.native([&] { return DenseIds::find(args.parts, &least); });
  if (!ids) return to_python(least);
  int64_t* rank = nullptr;
  PyRef rank_array(ids->complete() ? Py_NewRef(Py_None) : new_array(ids->table_size(), &rank));
  if (!rank_array) return nullptr;
  PyRef labels_array(filled_int_array(c, args.wide(), ids->count(), [&](auto labels) { ids->write(labels, rank); }));
  if (!labels_array) return nullptr;
  return PyTuple_Pack(2, labels_array.get(), rank_array.get());
}

// ---- kernels ------------------------------------------------------------------------

constexpr auto kDijkstra = function("csr_dijkstra", join(kRows, std::to_array<Parameter>({{"source"}, {"target"}})),
                                    Access::kNone, "(dist, pred) of Dijkstra from source; target None or an index.",
                                    "Graph.dijkstra");
PyObject* csr_dijkstra(const Call<kDijkstra>& c) {
  RowsArg rows;
  if (!rows.read(c.arg<0>(), c.arg<1>(), c.arg<2>()) || !checked(c, rows)) return nullptr;
  uint64_t source, target = 0;
  if (!node_index<3>(c, rows.csr.n, &source)) return nullptr;
  const bool with_target = c.arg<4>() != Py_None;
  if (with_target && !node_index<4>(c, rows.csr.n, &target)) return nullptr;
  if (!non_negative(c, rows, "Dijkstra")) return nullptr;
  double* dist;
  int64_t* pred;
  PyRef dist_array(new_array(rows.csr.n, &dist));
  if (!dist_array) return nullptr;
  PyRef pred_array(new_array(rows.csr.n, &pred));
  if (!pred_array) return nullptr;
  c.native([&] {
    dijkstra(rows.csr, source, with_target ? static_cast<int64_t>(target) : -1, {dist, rows.csr.n},
             {pred, rows.csr.n});
  });
  return PyTuple_Pack(2, dist_array.get(), pred_array.get());
}

constexpr auto kBfs = function("csr_bfs", join(kRows, std::to_array<Parameter>({{"source"}})), Access::kNone,
                               "Hops from source along the rows, -1 where unreachable.", "Graph.bfs_distances");
PyObject* csr_bfs(const Call<kBfs>& c) {
  RowsArg rows;
  if (!rows.read(c.arg<0>(), c.arg<1>(), c.arg<2>()) || !checked(c, rows)) return nullptr;
  uint64_t source;
  if (!node_index<3>(c, rows.csr.n, &source)) return nullptr;
  int64_t* out;
  PyRef array(new_array(rows.csr.n, &out));
  if (!array) return nullptr;
  c.native([&] { bfs_hops(rows.csr, source, {out, rows.csr.n}); });
  return array.release();
}

constexpr auto kComponents = function("csr_components", join(kRows, std::to_array<Parameter>({{"strong"}})),
                                      Access::kNone, "Weak (strong false) or strong component labels.",
                                      "Graph.connected_components");
PyObject* csr_components(const Call<kComponents>& c) {
  RowsArg rows;
  if (!rows.read(c.arg<0>(), c.arg<1>(), c.arg<2>()) || !checked(c, rows)) return nullptr;
  bool strong;
  if (!flag<3>(c, &strong)) return nullptr;
  int64_t* out;
  PyRef array(new_array(rows.csr.n, &out));
  if (!array) return nullptr;
  c.native([&] {
    if (strong) {
      strong_components(rows.csr, {out, rows.csr.n});
    } else {
      weak_components(rows.csr, {out, rows.csr.n});
    }
  });
  return array.release();
}

// p, dangling and x are float64 arrays of n values; x is the start vector.
constexpr auto kPagerank = function(
    "csr_pagerank",
    join(kRows, std::to_array<Parameter>({{"in_indptr"}, {"in_indices"}, {"in_weights"}, {"alpha"}, {"max_iter"},
                                          {"tol"}, {"p"}, {"dangling"}, {"x"}})),
    Access::kNone, "(scores, iterations) of NetworkX's PageRank; iterations 0: no convergence.", "Graph.pagerank");
PyObject* csr_pagerank(const Call<kPagerank>& c) {
  RowsArg out_rows, in_rows;
  if (!out_rows.read(c.arg<0>(), c.arg<1>(), c.arg<2>()) || !in_rows.read(c.arg<3>(), c.arg<4>(), c.arg<5>()) ||
      !checked(c, out_rows) || !checked(c, in_rows)) {
    return nullptr;
  }
  DirectedPagerankOptions options;
  if (!c.real<6>(&options.alpha) || !c.count<7>(&options.max_iter) || !c.real<8>(&options.tol)) return nullptr;
  NumericArg p, dangling, start;
  if (!p.read(c.arg<9>(), "p", NumericArg::kFloat64) || !dangling.read(c.arg<10>(), "dangling", NumericArg::kFloat64) ||
      !start.read(c.arg<11>(), "x", NumericArg::kFloat64)) {
    return nullptr;
  }
  const size_t n = out_rows.csr.n;
  if (in_rows.csr.n != n || in_rows.csr.entries != out_rows.csr.entries || p.size() != n || dangling.size() != n ||
      start.size() != n) {
    PyErr_SetString(PyExc_ValueError, "the in-rows, p, dangling and x must match the out-rows' nodes and entries");
    return nullptr;
  }
  options.personalization = {static_cast<const double*>(p.data()), n};
  options.dangling = {static_cast<const double*>(dangling.data()), n};
  double* x;
  PyRef scores(new_array(n, &x));
  if (!scores) return nullptr;
  std::memcpy(x, start.data(), n * sizeof(double));
  uint64_t iterations = c.native([&] { return directed_pagerank(out_rows.csr, in_rows.csr, options, {x, n}); });
  PyRef count(to_python(iterations));
  if (!count) return nullptr;
  return PyTuple_Pack(2, scores.get(), count.get());
}

// ---- undirected analytics on the snapshot kernels ------------------------------

// The rows of an undirected Graph as a snapshot that borrows them: read,
// checked (valid_csr, then CsrSnapshot::over_rows), only the degrees
// computed. Null with ValueError when they are not an undirected graph.
// Rows that csr_build wrote for an undirected graph, passed as its own
// frozen NativeArrays (indices frozen with that indptr), are not checked
// again: their shape is the build's, and nothing can have written to them
// since. Anything else, numpy views of them included, is checked in full.
template <const auto& C>
std::unique_ptr<CsrSnapshot> undirected_snapshot(const Call<C>& c, const RowsArg& rows) {
  const bool built = frozen_with(rows.indices.owner(), rows.indptr.owner());
  if (!built && !checked(c, rows)) return nullptr;
  // indptr passed valid_csr (or csr_build wrote it): it starts at 0 and
  // never decreases, so its int64 values read as uint64 unchanged; the
  // indices lie in [0, n).
  const std::span<const uint64_t> offsets(reinterpret_cast<const uint64_t*>(rows.csr.indptr), rows.csr.n + 1);
  auto snap = c.native([&] {
    if (rows.csr.wide) {
      const std::span runs(static_cast<const uint64_t*>(rows.csr.indices), rows.csr.entries);
      return CsrSnapshot::over_rows(offsets, runs, built);
    }
    const std::span runs(static_cast<const uint32_t*>(rows.csr.indices), rows.csr.entries);
    return CsrSnapshot::over_rows(offsets, runs, built);
  });
  if (!snap) {
    PyErr_Format(PyExc_ValueError,
                 "%s needs an undirected graph: every edge in both rows, each row strictly ascending", C.shown_as);
  }
  return snap;
}

// Hands the analytics the undirected rows (indptr, indices) of a Graph
// (analytic.hpp); a per-node result is the values alone, in index order.
struct RowsSource {
  static constexpr auto kParameters = std::to_array<Parameter>({{"indptr"}, {"indices"}});
  static constexpr Access kAccess = Access::kNone;

  template <class Value, const auto& C, class Fill>
  static PyObject* per_node(const Call<C>& c, Fill&& fill) {
    RowsArg rows;
    if (!rows.read(c.template arg<0>(), c.template arg<1>(), Py_None)) return nullptr;
    const std::unique_ptr<CsrSnapshot> snap = undirected_snapshot(c, rows);
    if (!snap) return nullptr;
    Value* out;
    PyRef array(new_array(rows.csr.n, &out));
    if (!array) return nullptr;
    c.native([&] { fill(*snap, std::span<Value>(out, rows.csr.n)); });
    return array.release();
  }

  template <const auto& C, class Work>
  static PyObject* scalar(const Call<C>& c, Work&& work) {
    RowsArg rows;
    if (!rows.read(c.template arg<0>(), c.template arg<1>(), Py_None)) return nullptr;
    const std::unique_ptr<CsrSnapshot> snap = undirected_snapshot(c, rows);
    if (!snap) return nullptr;
    return to_python(c.native([&] { return work(*snap); }));
  }
};

template <auto Kernel, Literal kName, Literal kDoc, Literal kShownAs>
PyMethodDef graph_analytic() {
  return analytic_entry<RowsSource, Kernel, kName, kDoc, kShownAs>();
}

constexpr auto kClustering =
    function("csr_clustering", join(kRows, std::to_array<Parameter>({{"in_indptr"}, {"in_indices"}, {"in_weights"}})),
             Access::kNone, "NetworkX's local clustering; in-rows None for an undirected graph.", "Graph.clustering");
PyObject* csr_clustering(const Call<kClustering>& c) {
  RowsArg rows, in_rows;
  if (!rows.read(c.arg<0>(), c.arg<1>(), c.arg<2>()) || !checked(c, rows)) return nullptr;
  const bool directed = c.arg<3>() != Py_None;
  if (directed) {
    if (!in_rows.read(c.arg<3>(), c.arg<4>(), c.arg<5>()) || !checked(c, in_rows)) return nullptr;
    if (in_rows.csr.n != rows.csr.n || in_rows.csr.entries != rows.csr.entries ||
        in_rows.csr.wide != rows.csr.wide || in_rows.csr.weight_type != rows.csr.weight_type) {
      PyErr_SetString(PyExc_ValueError, "the in-rows must match the rows' nodes, entries, index and weight types");
      return nullptr;
    }
  }
  if (!c.native([&] { return sorted_rows(rows.csr) && (!directed || sorted_rows(in_rows.csr)); })) {
    PyErr_SetString(PyExc_ValueError, "indices: every row must be strictly ascending");
    return nullptr;
  }
  double* out;
  PyRef array(new_array(rows.csr.n, &out));
  if (!array) return nullptr;
  const double top =
      c.native([&] { return arborvane::csr_clustering(rows.csr, directed ? &in_rows.csr : nullptr, {out, rows.csr.n}); });
  if (top == 0.0) {
    PyErr_SetString(PyExc_ZeroDivisionError, "weights: the largest weight is 0, and every weight is divided by it");
    return nullptr;
  }
  return array.release();
}

constexpr auto kBetweenness =
    function("csr_betweenness", join(kRows, std::to_array<Parameter>({{"directed"}, {"normalized"}, {"endpoints"}})),
             Access::kNone, "NetworkX's betweenness centrality over the rows (weights None: hops).",
             "Graph.betweenness_centrality");
PyObject* csr_betweenness(const Call<kBetweenness>& c) {
  RowsArg rows;
  if (!rows.read(c.arg<0>(), c.arg<1>(), c.arg<2>()) || !checked(c, rows)) return nullptr;
  bool directed, normalized, endpoints;
  if (!flag<3>(c, &directed) || !flag<4>(c, &normalized) || !flag<5>(c, &endpoints)) return nullptr;
  if (!non_negative(c, rows, "betweenness")) return nullptr;
  double* out;
  PyRef array(new_array(rows.csr.n, &out));
  if (!array) return nullptr;
  c.native([&] { arborvane::csr_betweenness(rows.csr, directed, normalized, endpoints, {out, rows.csr.n}); });
  return array.release();
}

// ---- communities (python/arborvane/communities.py) ----------------------------
// The rows are an undirected graph's, with finite weights >= 0 (checked by
// the caller; other rows give meaningless labels, never a bad read).

constexpr auto kCommunities =
    function("csr_communities",
             join(kRows, std::to_array<Parameter>({{"resolution"}, {"seed"}, {"iterations"}, {"leiden"}})),
             Access::kNone, "Louvain (leiden false) or Leiden labels of undirected rows.", "louvain_communities");
PyObject* csr_communities(const Call<kCommunities>& c) {
  RowsArg rows;
  if (!rows.read(c.arg<0>(), c.arg<1>(), c.arg<2>()) || !checked(c, rows)) return nullptr;
  CommunityOptions options;
  if (!resolution_arg<3>(c, &options.resolution) || !c.count<4>(&options.seed) || !c.count<5>(&options.iterations)) {
    return nullptr;
  }
  bool leiden;
  if (!flag<6>(c, &leiden)) return nullptr;
  if (options.iterations == 0) {
    PyErr_SetString(PyExc_ValueError, "iterations must be at least 1");
    return nullptr;
  }
  options.refine = leiden;
  int64_t* out;
  PyRef array(new_array(rows.csr.n, &out));
  if (!array) return nullptr;
  c.native([&] { rows_communities(rows.csr, options, {out, rows.csr.n}); });
  return array.release();
}

// labels: int64, one per node, each in [0, n).
constexpr auto kModularity =
    function("csr_modularity", join(kRows, std::to_array<Parameter>({{"labels"}, {"resolution"}})), Access::kNone,
             "Weighted modularity of int64 labels over undirected rows.", "modularity");
PyObject* csr_modularity(const Call<kModularity>& c) {
  RowsArg rows;
  if (!rows.read(c.arg<0>(), c.arg<1>(), c.arg<2>()) || !checked(c, rows)) return nullptr;
  NumericArg labels;
  double resolution;
  if (!labels.read(c.arg<3>(), "labels", NumericArg::kInt64) || !resolution_arg<4>(c, &resolution)) return nullptr;
  const size_t n = rows.csr.n;
  const std::span<const int64_t> values(static_cast<const int64_t*>(labels.data()), labels.size());
  if (values.size() != n ||
      !std::all_of(values.begin(), values.end(), [n](int64_t v) { return v >= 0 && static_cast<uint64_t>(v) < n; })) {
    PyErr_Format(PyExc_ValueError, "labels must be %zu values in [0, number of nodes)", n);
    return nullptr;
  }
  return to_python(c.native([&] { return rows_modularity(rows.csr, values, resolution); }));
}

// x is a float64 array of n values (n = len(indptr) - 1).
constexpr auto kMatvec = function("csr_matvec", join(kRows, std::to_array<Parameter>({{"x"}, {"start"}})),
                                  Access::kNone, "start + the row sums of the weighted entries times x, in row order.",
                                  "arborvane.dask.pagerank");
PyObject* csr_matvec(const Call<kMatvec>& c) {
  RowsArg rows;
  NumericArg x;
  double start;
  if (!rows.read(c.arg<0>(), c.arg<1>(), c.arg<2>()) || !x.read(c.arg<3>(), "x", NumericArg::kFloat64) ||
      !c.real<4>(&start)) {
    return nullptr;
  }
  if (x.size() != rows.csr.n) {
    PyErr_SetString(PyExc_ValueError, "x must hold one value per row (len(indptr) - 1)");
    return nullptr;
  }
  if (!checked(c, rows)) return nullptr;
  double* out;
  PyRef array(new_array(rows.csr.n, &out));
  if (!array) return nullptr;
  c.native([&] {
    arborvane::csr_matvec(rows.csr, {static_cast<const double*>(x.data()), rows.csr.n}, start, {out, rows.csr.n});
  });
  return array.release();
}

}  // namespace

PyMethodDef kCsrGraphFunctions[] = {
    graph_analytic<component_labels, "csr_component_labels", "Components numbered in first-met order.",
                   "Graph.connected_components">(),
    graph_analytic<node_triangles, "csr_triangles", "Triangles through every node.", "Graph.triangles">(),
    graph_analytic<count_triangles, "csr_triangle_count", "The number of triangles.", "Graph.triangle_count">(),
    graph_analytic<core_numbers, "csr_core_numbers", "Core number of every node, self-loops ignored.",
                   "Graph.core_number">(),
    graph_analytic<clustering, "csr_undirected_clustering", "Local clustering coefficients of the unweighted undirected graph.",
                   "Graph.clustering">(),
    graph_analytic<average_clustering, "csr_average_clustering", "Mean local clustering coefficient.",
                   "Graph.average_clustering">(),
    graph_analytic<transitivity, "csr_transitivity", "Three times the triangles over the connected triples.",
                   "Graph.transitivity">(),
    def<kBuild, csr_build>(),
    def<kLabelCodes, label_codes>(),
    def<kDenseIds, dense_ids>(),
    def<kDijkstra, csr_dijkstra>(),
    def<kBfs, csr_bfs>(),
    def<kComponents, csr_components>(),
    def<kPagerank, csr_pagerank>(),
    def<kClustering, csr_clustering>(),
    def<kBetweenness, csr_betweenness>(),
    def<kCommunities, csr_communities>(),
    def<kModularity, csr_modularity>(),
    def<kMatvec, csr_matvec>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace arborvane::py
