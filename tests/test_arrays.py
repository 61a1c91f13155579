"""numpy exports, graphs from arrays and SciPy matrices (arborvane._arrays)."""

import ctypes
import random
import re
import signal
import sys
import traceback
import warnings

import numpy as np
import pytest

import arborvane
from arborvane import IntGraphCore
from arborvane._native import arrays as _native
from graph_helpers import CallsBack, graph, interrupt_after

INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1


def random_graph(seed, nodes=60, edges=150):
    """Random ids (negatives and both extremes included), self-loops and
    isolated nodes, inserted in a random order."""
    rng = random.Random(seed)
    pool = [rng.randrange(-(10**12), 10**12) for _ in range(nodes)] + [INT64_MIN, INT64_MAX, 0, -1]
    g = IntGraphCore()
    g.add_nodes_from(rng.sample(pool, 5))  # some stay isolated
    g.add_edges_from([(rng.choice(pool), rng.choice(pool)) for _ in range(edges)])
    g.add_edge(pool[0], pool[0])
    return g


GRAPHS = {
    "empty": lambda: IntGraphCore(),
    "isolated": lambda: graph(nodes=[5, -3, INT64_MIN]),
    "self-loop": lambda: graph(edges=[(7, 7)]),
    "extremes": lambda: graph(edges=[(INT64_MIN, INT64_MAX), (INT64_MIN, INT64_MIN), (0, INT64_MAX)]),
    **{f"random{seed}": (lambda seed=seed: random_graph(seed)) for seed in range(4)},
}


def large_graph():
    """Big enough that the exports run on the worker pool."""
    g = IntGraphCore()
    g.build_random(40_000, 120_000, 3)
    g.add_edges_from([(INT64_MIN, 5), (INT64_MIN, INT64_MIN), (-7, -7)])
    g.add_node(INT64_MAX)
    return g


@pytest.fixture(params=list(GRAPHS) + ["large"])
def any_graph(request):
    return large_graph() if request.param == "large" else GRAPHS[request.param]()


# ---------------------------------------------------------------- exports

def test_exports_equal_the_list_methods(any_graph):
    g = any_graph
    nodes, degrees, edges = arborvane.node_array(g), arborvane.degree_array(g), arborvane.edge_array(g)
    for array in (nodes, degrees, edges):
        assert array.dtype == np.int64 and array.flags.c_contiguous and array.flags.writeable
    assert nodes.tolist() == g.nodes()
    assert degrees.tolist() == [d for _, d in g.degree_sequence()]
    assert edges.shape == (g.number_of_edges(), 2)
    assert [tuple(e) for e in edges.tolist()] == g.edges()


@pytest.mark.filterwarnings("ignore::arborvane.arrays.PowerIterationFailedConvergence")
def test_pagerank_array_is_the_method_bit_for_bit(any_graph):
    g = any_graph
    ids, scores = arborvane.pagerank_array(g, 0.9, max_iter=30, tol=1e-9)
    expected = g.pagerank(0.9, max_iter=30, tol=1e-9)
    assert ids.dtype == np.int64 and scores.dtype == np.float64
    assert ids.tolist() == [n for n, _ in expected] == arborvane.node_array(g).tolist()
    assert scores.tobytes() == np.array([s for _, s in expected], dtype=np.float64).tobytes()


def test_results_outlive_the_graph_and_each_other():
    g = large_graph()
    edges = arborvane.edge_array(g)
    expected = g.edges()
    ids, scores = arborvane.pagerank_array(g)
    del g
    assert [tuple(e) for e in edges.tolist()] == expected
    edges[0, 0] = 99  # the array owns its memory
    assert ids.size == scores.size


def test_arguments_are_checked_like_the_methods():
    g = graph(edges=[(1, 2)])
    for call in (arborvane.node_array, arborvane.degree_array, arborvane.edge_array, arborvane.pagerank_array,
                 arborvane.to_scipy_sparse):
        with pytest.raises(TypeError, match="argument 'g': 'list' object is not an instance of 'IntGraphCore'"):
            call([1, 2])
    for kwargs in ({"damping": "x"}, {"max_iter": 2.5}, {"tol": None}):
        with pytest.raises(TypeError) as ours:
            arborvane.pagerank_array(g, **kwargs)
        with pytest.raises(TypeError) as method:
            g.pagerank(**kwargs)
        assert str(ours.value) == str(method.value)


def test_pagerank_array_ranges_and_convergence_warning():
    g = graph(edges=[(1, 2), (2, 3)])
    for kwargs, message in [({"damping": 2.0}, "damping must be between 0 and 1, got 2.0"),
                            ({"damping": float("nan")}, "damping must be between 0 and 1, got nan"),
                            ({"max_iter": 0}, "max_iter must be at least 1, got 0"),
                            ({"max_iter": -1}, "max_iter must be at least 1, got -1"),
                            ({"tol": -1.0}, "tol must be finite and at least 0, got -1.0"),
                            ({"tol": float("inf")}, "tol must be finite and at least 0, got inf")]:
        with pytest.raises(ValueError, match=re.escape(message)):
            arborvane.pagerank_array(g, **kwargs)
    with pytest.raises(OverflowError, match="argument 'max_iter': 18446744073709551616"):
        arborvane.pagerank_array(g, max_iter=2**64)
    with pytest.warns(arborvane.PowerIterationFailedConvergence, match="failed to converge within 2 iterations"):
        ids, scores = arborvane.pagerank_array(g, max_iter=2)
    assert scores.tobytes() == np.array([s for _, s in g.pagerank(max_iter=2)]).tobytes()
    assert issubclass(arborvane.PowerIterationFailedConvergence, RuntimeWarning)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        arborvane.pagerank_array(g)  # converges: no warning
        arborvane.pagerank_array(IntGraphCore(), max_iter=1)


def test_buffer_requests_the_results_cannot_honour_are_refused():
    get = ctypes.pythonapi.PyObject_GetBuffer
    get.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_int]
    release = ctypes.pythonapi.PyBuffer_Release
    release.argtypes = [ctypes.c_void_p]
    view = ctypes.create_string_buffer(256)  # room for a Py_buffer
    f_contiguous, any_contiguous = 0x58, 0x98  # PyBUF_F_CONTIGUOUS, PyBUF_ANY_CONTIGUOUS
    g = graph(edges=[(1, 2), (2, 3)])
    with pytest.raises(BufferError, match="not Fortran-contiguous"):
        get(_native.edge_pairs(g), view, f_contiguous)
    for result, flags in [(_native.edge_pairs(g), any_contiguous), (_native.node_ids(g), f_contiguous),
                          (_native.edge_pairs(graph(edges=[(1, 2)])), f_contiguous)]:  # 1-D, one row
        get(result, view, flags)
        release(view)


# ---------------------------------------------------------------- from_arrays

@pytest.mark.parametrize("dtype", [np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.int64])
def test_from_arrays_is_add_edges_flat(dtype):
    rng = np.random.default_rng(int(np.dtype(dtype).itemsize))
    info = np.iinfo(dtype)
    u = rng.integers(info.min, info.max, 500, dtype=dtype, endpoint=True)
    v = np.concatenate([u[:50], rng.integers(info.min, info.max, 450, dtype=dtype, endpoint=True)])
    flat = np.empty(1000, dtype=np.int64)
    flat[0::2], flat[1::2] = u, v
    expected = IntGraphCore()
    expected.add_edges_flat(flat.tolist())
    got = arborvane.from_arrays(u, v)
    assert (got.nodes(), got.edges(), len(got)) == (expected.nodes(), expected.edges(), len(expected))


def test_from_arrays_inputs():
    g = arborvane.from_arrays([INT64_MIN, 3], [INT64_MAX, 3])  # Python lists and the extremes
    assert g.edges() == [(INT64_MIN, INT64_MAX), (3, 3)]
    assert len(arborvane.from_arrays([], [])) == 0
    strided = np.arange(20, dtype=np.int64)[::2]  # not contiguous
    assert arborvane.from_arrays(strided, strided[::-1]).number_of_edges() == 5
    for bad in (np.array([1.0]), np.array([1], dtype=np.uint64), np.array([True]), np.array(["1"]),
                np.array([1], dtype=object)):
        with pytest.raises(TypeError, match=f"from_arrays\\(\\): u .*dtype {bad.dtype}"):
            arborvane.from_arrays(bad, [1])
    with pytest.raises(ValueError, match="differ in length"):
        arborvane.from_arrays([1, 2], [3])
    with pytest.raises(ValueError, match="one-dimensional"):
        arborvane.from_arrays(np.zeros((2, 2), dtype=np.int64), [1, 2])
    with pytest.raises(TypeError, match="u is a numpy masked array"):
        arborvane.from_arrays(np.ma.array([1, 2], mask=[0, 1]), [3, 4])


# ---------------------------------------------------------------- SciPy

def test_scipy_round_trip_and_layout(any_graph):
    sparse = pytest.importorskip("scipy.sparse")
    g = any_graph
    matrix, ids = arborvane.to_scipy_sparse(g)
    assert isinstance(matrix, sparse.csr_array) and matrix.dtype == np.float64
    assert ids.tolist() == g.nodes() and matrix.shape == (len(g), len(g))
    position = {node: i for i, node in enumerate(ids.tolist())}
    expected = set()
    for a, b in g.edges():
        expected |= {(position[a], position[b]), (position[b], position[a])}
    coo = matrix.tocoo()
    assert sorted(zip(coo.row.tolist(), coo.col.tolist())) == sorted(expected)  # a self-loop once
    assert np.all(coo.data == 1) and matrix.has_canonical_format
    back = arborvane.from_scipy_sparse(matrix, ids)
    assert sorted(back.nodes()) == sorted(g.nodes()) and sorted(back.edges()) == sorted(g.edges())
    assert arborvane.to_scipy_sparse(g, dtype=np.int8)[0].dtype == np.int8


def test_scipy_rows_of_hubs_are_sorted():
    # Rows of 65,536 entries and more are sorted by another routine.
    pytest.importorskip("scipy.sparse")
    leaves = [(k * 7919 % 70_000) * 3 - 2**40 for k in range(70_000)]
    g = IntGraphCore()
    g.add_edges_from([(h, v) for h in (-1, -2) for v in leaves])
    matrix = arborvane.to_scipy_sparse(g)[0]
    starts, ends = matrix.indptr[:-1], matrix.indptr[1:]
    hubs = np.flatnonzero(ends - starts == len(leaves))
    assert len(hubs) == 2 and all(np.all(np.diff(matrix.indices[starts[h]:ends[h]]) > 0) for h in hubs)


def test_from_scipy_sparse_entries_and_errors():
    sparse = pytest.importorskip("scipy.sparse")
    dense = np.array([[0, 2, 0], [0, 0, 0], [0, 0, 5]])
    matrix = sparse.csc_matrix(dense)  # any format; an asymmetric matrix too
    matrix.data[matrix.data == 5] = 0  # an explicit zero is no edge
    assert matrix.nnz == 2
    g = arborvane.from_scipy_sparse(matrix)
    assert sorted(g.nodes()) == [0, 1, 2] and g.edges() == [(0, 1)]
    g = arborvane.from_scipy_sparse(sparse.coo_array(dense), ids=np.array([-1, 10, INT64_MAX]))
    assert sorted(g.edges()) == [(-1, 10), (INT64_MAX, INT64_MAX)]
    with pytest.raises(ValueError, match="square"):
        arborvane.from_scipy_sparse(sparse.csr_array((2, 3)))
    with pytest.raises(ValueError, match="distinct"):
        arborvane.from_scipy_sparse(sparse.csr_array((2, 2)), ids=[4, 4])
    with pytest.raises(ValueError, match="2 rows"):
        arborvane.from_scipy_sparse(sparse.csr_array((2, 2)), ids=[4])
    with pytest.raises(TypeError, match="sparse array or matrix, not ndarray"):
        arborvane.from_scipy_sparse(dense)


def test_scipy_missing_names_the_extra(monkeypatch):
    monkeypatch.setitem(sys.modules, "scipy", None)
    monkeypatch.setitem(sys.modules, "scipy.sparse", None)
    for call in (lambda: arborvane.to_scipy_sparse(IntGraphCore()), lambda: arborvane.from_scipy_sparse(None)):
        with pytest.raises(ImportError, match=r'pip install "arborvane\[scipy\]"'):
            call()


def test_scipy_installed_but_failing_to_import_shows_the_real_error(monkeypatch):
    pytest.importorskip("scipy")
    monkeypatch.setitem(sys.modules, "scipy.sparse", None)  # as an import that fails
    with pytest.raises(ImportError) as info:
        arborvane.to_scipy_sparse(IntGraphCore())
    assert "pip install" not in str(info.value)


# ---------------------------------------------------------------- borrows and interrupts

def test_calls_overlapping_a_mutation_are_refused():
    g = graph(edges=[(1, 2)])
    before = (g.nodes(), g.edges())
    # Inside add_node (exclusive borrow) every function is refused, naming
    # itself and the call that holds the graph.
    for call in (arborvane.node_array, arborvane.edge_array, arborvane.pagerank_array, arborvane.to_scipy_sparse):
        expected = rf"^{call.__name__}\(\): the graph is being changed by IntGraphCore\.add_node\(\) \(.*\); finish"
        with pytest.raises(RuntimeError, match=expected):
            g.add_node(CallsBack(lambda call=call: call(g), 9))
        assert (g.nodes(), g.edges()) == before
    # pagerank_array reads under the shared borrow: reads during its argument
    # conversion go ahead, mutations are refused.
    assert arborvane.pagerank_array(g, damping=CallsBack(lambda: g.nodes(), 0.85))[1].size == 2
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        arborvane.pagerank_array(g, max_iter=CallsBack(lambda: g.add_node(3), 10))
    assert (g.nodes(), g.edges()) == before
    assert arborvane.node_array(g).tolist() == g.nodes()  # every borrow was given back


def raised_in_native_call(exc_info, line_text):
    """Whether the KeyboardInterrupt came out of the native call on `line_text`
    (the signal handler's own frame comes last)."""
    caller = traceback.extract_tb(exc_info.tb)[-2]
    return line_text in (caller.line or "")


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs setitimer")
@pytest.mark.filterwarnings("ignore::arborvane.arrays.PowerIterationFailedConvergence")
def test_ctrl_c_stops_long_calls_and_leaves_graphs_unchanged():
    rng = np.random.default_rng(5)
    u = rng.integers(0, 1_000_000, 2_000_000)
    v = rng.integers(0, 1_000_000, 2_000_000)
    previous = interrupt_after(0.05)
    try:
        with pytest.raises(KeyboardInterrupt) as info:
            arborvane.from_arrays(u, v)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert raised_in_native_call(info, "graph_from_edges")

    g = IntGraphCore()
    g.build_random(100_000, 500_000, 8)
    before = (len(g), g.number_of_edges(), g.nodes()[:100])
    previous = interrupt_after(0.01)
    try:
        with pytest.raises(KeyboardInterrupt):
            while True:  # each call is short; one of them is cut
                arborvane.pagerank_array(g, tol=0.0, max_iter=1000)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert (len(g), g.number_of_edges(), g.nodes()[:100]) == before
    assert arborvane.edge_array(g).shape == (500_000, 2)  # the borrow was released


SUBINTERPRETER_IMPORT = """
import importlib.machinery, importlib.util
path = %r
loader = importlib.machinery.ExtensionFileLoader("arborvane._arrays", path)
spec = importlib.util.spec_from_file_location("arborvane._arrays", path, loader=loader)
try:
    loader.exec_module(importlib.util.module_from_spec(spec))
except ImportError as exc:
    assert "subinterpreter" in str(exc), exc
else:
    raise AssertionError("loaded in a subinterpreter")
"""


def test_arrays_module_is_refused_outside_the_main_interpreter():
    from conftest import run_python

    out = run_python(f"""
        import arborvane
        try:
            import _interpreters as interpreters
        except ImportError:
            import _xxsubinterpreters as interpreters
        interp = interpreters.create()
        assert not interpreters.run_string(interp, {SUBINTERPRETER_IMPORT!r} % arborvane._accel.__file__)
        interpreters.destroy(interp)
        print(sorted(arborvane.node_array(arborvane.from_arrays([1], [2])).tolist()))
    """)
    assert out.strip() == "[1, 2]"
