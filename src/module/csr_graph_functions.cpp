// The native half of arborvane.Graph (python/arborvane/graph.py): kernels
// over CSR arrays that the Python object owns, added to arborvane._arrays.
//
// These functions take no graph object: they read the numpy arrays they
// are given through the buffer protocol, check them (shape, types, and
// that they form a valid CSR) before any kernel reads an index, run the
// kernel detached from the interpreter with Ctrl-C polling, and return
// NativeArray results.
#include <cstring>
#include <span>

#include "accel/csr_graph/csr_graph.hpp"
#include "accel/csr_graph/matvec.hpp"
#include "module/call.hpp"
#include "module/csr_graph_functions.hpp"
#include "module/native_array.hpp"

namespace arborvane::py {
namespace {

// A read-only, C-contiguous, one-dimensional numeric buffer argument,
// released on scope exit (after any detached work that reads it).
class NumericArg {
 public:
  enum Kind : unsigned { kInt32 = 1, kInt64 = 2, kFloat32 = 4, kFloat64 = 8 };

  NumericArg() = default;
  NumericArg(const NumericArg&) = delete;
  NumericArg& operator=(const NumericArg&) = delete;
  ~NumericArg() {
    if (held_) PyBuffer_Release(&view_);
  }

  // Reads `obj` as one of the kinds in `accepted` (a mask of Kind); None is
  // accepted (as absent) when `optional`.
  bool read(PyObject* obj, const char* name, unsigned accepted, bool optional = false) {
    if (optional && obj == Py_None) return true;
    if (PyObject_GetBuffer(obj, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) {
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

  bool present() const noexcept { return held_; }
  unsigned kind() const noexcept { return kind_; }
  const void* data() const noexcept { return view_.buf; }
  size_t size() const noexcept { return held_ ? static_cast<size_t>(view_.len / view_.itemsize) : 0; }

 private:
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

// ---- functions ------------------------------------------------------------------

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
  if (c.native([&] { return has_negative_weight(rows.csr); })) {
    PyErr_SetString(PyExc_ValueError, "weights: Dijkstra needs weights >= 0, found a negative or NaN weight");
    return nullptr;
  }
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
  const int strong = PyObject_IsTrue(c.arg<3>());
  if (strong < 0) return nullptr;
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
    def<kDijkstra, csr_dijkstra>(),
    def<kBfs, csr_bfs>(),
    def<kComponents, csr_components>(),
    def<kPagerank, csr_pagerank>(),
    def<kMatvec, csr_matvec>(),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace arborvane::py
