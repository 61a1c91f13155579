"""arborvane.Graph against NetworkX on many small random graphs, and its
building rules (labels, parallel edges, bad input)."""

import math
import random

import pytest

np = pytest.importorskip("numpy")
nx = pytest.importorskip("networkx")

import arborvane  # noqa: E402
from arborvane import _native  # noqa: E402


def random_graph(seed, directed):
    """A random graph with self-loops, parallel edges (merged: last weight
    wins, as in NetworkX), zero weights and isolated nodes."""
    rng = random.Random(seed)
    n = rng.randint(1, 14)
    m = rng.randint(0, 3 * n)
    nodes = [f"v{i}" for i in range(n)]
    u = [rng.choice(nodes) for _ in range(m)]
    v = [rng.choice(nodes) for _ in range(m)]
    w = [rng.choice([0.0, 0.5, 1.0, 2.0, 3.25]) for _ in range(m)]
    reference = nx.DiGraph() if directed else nx.Graph()
    reference.add_nodes_from(nodes)
    reference.add_weighted_edges_from(zip(u, v, w))
    g = arborvane.from_edges(u, v, weights=w, directed=directed, duplicates="last", nodes=nodes)
    return g, reference


def as_dict(result):
    labels, values = result
    return dict(zip(labels.tolist(), values.tolist()))


CASES = [(seed, directed) for seed in range(60) for directed in (False, True)]


@pytest.mark.parametrize("seed, directed", CASES[::3])
def test_structure_and_degrees_match_networkx(seed, directed):
    g, ref = random_graph(seed, directed)
    assert (len(g), g.number_of_edges()) == (ref.number_of_nodes(), ref.number_of_edges())
    def edges(graph):
        return sorted((*(sorted((a, b)) if not directed else (a, b)), w) for a, b, w in graph.edges(data="weight"))

    assert edges(g.to_networkx()) == edges(ref)
    assert as_dict(g.degree()) == dict(ref.degree())
    assert as_dict(g.degree(weighted=True)) == pytest.approx(dict(ref.degree(weight="weight")))
    if directed:
        assert as_dict(g.in_degree(weighted=True)) == pytest.approx(dict(ref.in_degree(weight="weight")))
        assert as_dict(g.out_degree()) == dict(ref.out_degree())


@pytest.mark.parametrize("seed, directed", CASES)
def test_searches_match_networkx(seed, directed):
    g, ref = random_graph(seed, directed)
    source = g.labels[seed % len(g)]
    expected = nx.single_source_dijkstra_path_length(ref, source)
    dist = as_dict(g.dijkstra(source))
    assert dist == {x: expected.get(x, math.inf) for x in ref}
    hops = nx.single_source_shortest_path_length(ref, source)
    assert as_dict(g.bfs_distances(source)) == {x: hops.get(x, -1) for x in ref}
    for target in ref:
        if target in expected:
            path = g.shortest_path(source, target)
            assert path[0] == source and path[-1] == target
            assert nx.path_weight(ref, path, "weight") == g.shortest_path_length(source, target) == expected[target]
        else:
            with pytest.raises(ValueError, match="no path"):
                g.shortest_path(source, target)


def partition(result):
    labels, comp = result
    groups = {}
    for label, c in zip(labels.tolist(), comp.tolist()):
        groups.setdefault(c, set()).add(label)
    return sorted(map(sorted, groups.values()))


@pytest.mark.parametrize("seed", range(60))
def test_components_match_networkx(seed):
    g, ref = random_graph(seed, True)
    assert partition(g.strongly_connected_components()) == sorted(map(sorted, nx.strongly_connected_components(ref)))
    assert partition(g.weakly_connected_components()) == sorted(map(sorted, nx.weakly_connected_components(ref)))
    comp = g.strongly_connected_components()[1]
    first_seen = list(dict.fromkeys(comp.tolist()))
    assert first_seen == list(range(len(first_seen)))  # numbered by first node


@pytest.mark.parametrize("seed, directed", CASES[::2])
def test_pagerank_matches_networkx(seed, directed):
    g, ref = random_graph(seed, directed)
    rng = random.Random(seed)
    personalization = {x: rng.random() for x in rng.sample(list(ref), max(1, len(ref) // 2))}
    for options in ({}, {"personalization": personalization, "alpha": 0.7}, {"dangling": personalization},
                    {"weighted": False}):
        nx_options = {("weight" if k == "weighted" else k): (None if k == "weighted" else x) for k, x in options.items()}
        expected = nx.pagerank(ref, **nx_options)
        got = as_dict(g.pagerank(**options))
        assert max(abs(got[x] - expected[x]) for x in ref) < 1e-10


def test_pagerank_same_bits_for_any_thread_count():
    rng = np.random.default_rng(5)
    u, v = rng.integers(0, 3000, 40000), rng.integers(0, 3000, 40000)
    g = arborvane.from_edges(u, v, weights=rng.random(40000), directed=True)
    code = """
        import numpy as np, arborvane
        rng = np.random.default_rng(5)
        u, v = rng.integers(0, 3000, 40000), rng.integers(0, 3000, 40000)
        g = arborvane.from_edges(u, v, weights=rng.random(40000), directed=True)
        print(g.pagerank()[1].tobytes().hex())
    """
    from conftest import run_python

    mine = g.pagerank()[1].tobytes().hex()
    assert run_python(code, {"RAYON_NUM_THREADS": "1"}).strip() == mine
    assert run_python(code, {"RAYON_NUM_THREADS": "3"}).strip() == mine


def test_pagerank_refuses_what_networkx_refuses():
    g = arborvane.from_edges([0, 1], [1, 2], directed=True)
    with pytest.raises(ZeroDivisionError, match="personalization"):
        g.pagerank(personalization={7: 1.0})
    with pytest.raises(RuntimeError, match="converge"):
        g.pagerank(max_iter=1, tol=1e-15)


def test_labels_of_any_type_map_and_come_back():
    big = np.array([2**64 - 1, 2**63], dtype=np.uint64)
    g = arborvane.from_edges(big, big[::-1], directed=True)
    assert g.labels.dtype == np.uint64 and g.shortest_path(2**64 - 1, 2**63) == [2**64 - 1, 2**63]
    mixed = arborvane.from_edges(np.array([1, "a", (2, 3)], dtype=object), np.array(["a", (2, 3), 1], dtype=object))
    assert mixed.labels.tolist() == [1, "a", (2, 3)]  # not orderable: first appearance
    assert mixed.bfs_distances((2, 3))[1].tolist() == [1, 1, 0]
    missing = arborvane.from_edges(np.array([None], dtype=object), np.array([math.nan], dtype=object))
    assert missing.labels[0] is None and math.isnan(missing.labels[1])  # never merged
    g = arborvane.from_edges(["b", "a"], ["c", "b"])
    assert g.labels.tolist() == ["a", "b", "c"]
    with pytest.raises(KeyError):
        g.dijkstra("zzz")
    with pytest.raises(KeyError):
        g.index_of(3)


@pytest.mark.parametrize("dtype", [object, str])
def test_string_labels_map_alike_with_and_without_pyarrow(monkeypatch, dtype):
    pytest.importorskip("pyarrow")
    from arborvane import graph

    rng = random.Random(7)
    alphabet = ["a", "B", "\u00e9", "\u4e2d", "\U0001F600", "0", " ", "a\x00"]
    u = np.array(["".join(rng.choices(alphabet, k=rng.randint(0, 3))) for _ in range(2000)], dtype=dtype)
    v = u[::-1].copy()
    by_arrow = arborvane.from_edges(u, v, directed=True)
    monkeypatch.setattr(graph, "_string_labels_and_codes", lambda values: None)
    by_python = arborvane.from_edges(u, v, directed=True)
    assert by_arrow.labels.dtype == by_python.labels.dtype
    assert by_arrow.labels.tolist() == by_python.labels.tolist() == sorted(set(u.tolist()))
    assert all(a.tolist() == b.tolist() for a, b in zip(by_arrow.csr()[:2], by_python.csr()[:2]))


def test_parallel_edge_rules():
    u, v, w = [0, 1, 0, 0], [1, 0, 1, 2], [5.0, 2.0, 3.0, 1.0]
    merged = {rule: arborvane.from_edges(u, v, weights=w, duplicates=rule).edges()[2].tolist()
              for rule in ("sum", "min", "last")}
    assert merged == {"sum": [10.0, 1.0], "min": [2.0, 1.0], "last": [3.0, 1.0]}
    assert arborvane.from_edges(u, v, weights=w, directed=True, duplicates="sum").edges()[2].tolist() == [8.0, 1.0, 2.0]
    with pytest.raises(ValueError, match=r"duplicate edge \(0, 1\)"):
        arborvane.from_edges(u, v, duplicates="error")
    with pytest.raises(ValueError, match="duplicates must be one of"):
        arborvane.from_edges(u, v, duplicates="max")


def numpy_rows(a, b, w, n, rule):
    """The rows as numpy sorting built them: pairs ordered by (a, b), each
    pair's weights merged by np.<ufunc>.reduceat in input order."""
    order = np.lexsort((b, a))
    a, b = a[order], b[order]
    first = np.flatnonzero(np.concatenate([[True], (a[1:] != a[:-1]) | (b[1:] != b[:-1])]))[: len(a)]
    if w is not None and len(a):
        w = w[order]
        w = {"sum": np.add.reduceat(w, first), "min": np.minimum.reduceat(w, first),
             "last": w[np.append(first[1:], len(a)) - 1]}[rule]
    indptr = np.concatenate([[0], np.cumsum(np.bincount(a, minlength=n))])
    return indptr, a[first], b[first], w


@pytest.mark.parametrize("seed", range(10))
def test_native_build_equals_numpy_sorting(seed):
    rng = np.random.default_rng(seed)
    n, m = int(rng.integers(1, 300)), int(rng.integers(0, 3000))
    u, v = rng.integers(0, n, m), rng.integers(0, n, m)
    u[: m // 3] = v[: m // 3] = u[0] if m else 0  # a pair repeated ~1000 times: numpy's pairwise sums
    w = rng.choice([0.1, 0.7, -0.0, 0.0, 1e17], m) * rng.choice([1.0, -1.0], m) * rng.random(m)
    w[rng.random(m) < 0.3] = -0.0
    for directed in (False, True):
        a, b = (u, v) if directed else (np.minimum(u, v), np.maximum(u, v))
        for rule in ("sum", "min", "last"):
            _, ra, rb, rw = numpy_rows(a, b, w, n, rule)
            if not directed:  # every pair in both rows, a self-loop once
                loop = ra == rb
                ra, rb, rw = np.append(ra, rb[~loop]), np.append(rb, ra[~loop]), np.append(rw, rw[~loop])
            for dtype in (np.float64, np.float32):
                g = arborvane.from_edges(u, v, weights=w, directed=directed, duplicates=rule, weight_dtype=dtype,
                                         nodes=np.arange(n))
                assert g.number_of_edges() == len(numpy_rows(a, b, None, n, rule)[1])
                for incoming in ((False, True) if directed else (False,)):
                    x, y = (rb, ra) if incoming else (ra, rb)
                    indptr, _, indices, weights = numpy_rows(x, y, rw, n, "last")  # pairs now distinct
                    got = g.csr(incoming)
                    assert got[0].tolist() == indptr.tolist() and got[1].tolist() == indices.tolist()
                    assert got[2].dtype == dtype and got[2].tobytes() == weights.astype(dtype).tobytes()
        _, sa, sb, _ = numpy_rows(a, b, None, n, "last")
        repeated = [(x, y) for x, y in zip(sa.tolist(), sb.tolist()) if ((a == x) & (b == y)).sum() > 1]
        if repeated:
            with pytest.raises(ValueError, match=rf"duplicate edge \({repeated[0][0]}, {repeated[0][1]}\)"):
                arborvane.from_edges(u, v, directed=directed, duplicates="error")


def test_integer_ids_read_in_place_build_the_general_graph():
    # Gapped ids go through the rank table, dense ones are their own codes;
    # int32 strided views, reversed views and unsigned ids are read where
    # they are. Each must equal the graph of the same ids as Python objects.
    rng = np.random.default_rng(7)
    for gap in (3, 1):
        pairs = rng.integers(0, 120, 400).astype(np.int32)
        pairs[:120] = np.arange(120)
        pairs *= gap
        u, v, w = pairs[0::2], pairs[1::2], rng.random(200)
        nodes = np.array([gap * 120, 0], dtype=np.int32)  # an isolated node
        for directed in (False, True):
            ref = arborvane.from_edges(u.astype(object), v.astype(object), w, directed=directed, duplicates="min",
                                       nodes=nodes.astype(object))
            for a, b, extra in ((u, v, nodes), (u[::-1], v[::-1], nodes), (u.astype(np.uint32), v.astype(np.uint32),
                                nodes.astype(np.uint32)), (u.astype(np.uint64), v.astype(np.uint64),
                                nodes.astype(np.uint64)), (u.astype(np.int16), v.astype(np.int16),
                                nodes.astype(np.int16))):
                weights = w[::-1] if a.strides[0] < 0 else w
                g = arborvane.from_edges(a, b, weights, directed=directed, duplicates="min", nodes=extra)
                assert g.labels.dtype == a.dtype and g.labels.tolist() == ref.labels.tolist()
                for incoming in (False, True):
                    assert [x.tobytes() for x in g.csr(incoming)] == [x.tobytes() for x in ref.csr(incoming)]
    build = _native.arrays.csr_build
    ids, rank = np.array([0, 2, 4], np.int32), np.array([0, 0, 1, 1, 2], np.int64)
    assert build(ids, ids[::-1], None, 3, False, "sum", False, rank)[2] == 2
    for bad_ids, bad_rank, n in ((ids + 1, rank, 3), (ids, rank[:3], 3), (ids, rank, 2), (ids[::-1], None, 4)):
        with pytest.raises(ValueError, match="u and v must hold"):
            build(bad_ids, ids, None, n, False, "sum", False, bad_rank)


@pytest.mark.parametrize("dtype", [np.int8, np.int16, np.int32, np.uint8, np.uint16, np.uint32, np.uint64])
def test_ids_of_any_integer_dtype_read_a_chunk_at_a_time_build_the_same_graph(monkeypatch, dtype):
    # Dense ids, then ids over the dtype's whole range (negative ones, uint32
    # from 2**31 on, uint64 from 2**63 on), in reversed views: the graph of
    # the same ids as Python ints.
    monkeypatch.setattr("arborvane.graph._ID_CHUNK", 7)
    rng = np.random.default_rng(5)
    info = np.iinfo(dtype)
    for ids in (rng.integers(0, 60, 100, dtype=dtype), rng.integers(info.min, info.max, 100, dtype, endpoint=True)):
        u, v = ids[0::2], ids[-1::-2]
        ref = arborvane.from_edges(u.astype(object), v.astype(object))
        g = arborvane.from_edges(u, v)
        assert g.labels.dtype == dtype and g.labels.tobytes() == ref.labels.astype(dtype).tobytes()
        assert [x.tobytes() for x in g.csr()[:2]] == [x.tobytes() for x in ref.csr()[:2]]


def test_dense_and_hashed_ids_build_the_same_graph_for_any_thread_count():
    # Ids over several blocks of the presence table, with gaps (a rank table)
    # and without (int32: every id up to the largest present); the same ids
    # moved far up are hashed instead, int32 ones read where they are.
    rng = np.random.default_rng(11)
    gapped = rng.integers(0, 300_000, 400_000)
    complete = np.concatenate([rng.permutation(150_000), rng.integers(0, 150_000, 50_000)]).astype(np.int32)
    before = arborvane.get_num_threads()
    try:
        for ids, far in ((gapped, 2**40), (complete, 2**30)):
            seen = set()
            for threads in (1, 3):
                arborvane.set_num_threads(threads)
                for shift in (ids.dtype.type(0), ids.dtype.type(far)):
                    moved = ids + shift
                    g = arborvane.from_edges(moved[0::2], moved[1::2], nodes=moved[-3:])
                    seen.add(((g.labels - shift).tobytes(), *(a.tobytes() for a in g.csr()[:2])))
            assert len(seen) == 1
    finally:
        arborvane.set_num_threads(before)


def test_native_build_same_bits_for_any_thread_count():
    rng = np.random.default_rng(3)
    u, v = rng.integers(0, 1000, 200_000), rng.integers(0, 1000, 200_000)  # long rows, 3 chunks
    w = rng.random(200_000)
    before = arborvane.get_num_threads()

    def arrays():
        return [a.tobytes() for directed in (False, True) for rule in ("sum", "min", "last")
                for incoming in (False, True)
                for a in arborvane.from_edges(u, v, weights=w, directed=directed, duplicates=rule).csr(incoming)]

    try:
        arborvane.set_num_threads(1)
        one = arrays()
        arborvane.set_num_threads(3)
        assert arrays() == one
    finally:
        arborvane.set_num_threads(before)


def test_from_arrays_with_weights_or_direction_makes_a_graph(tmp_path):
    u, v = np.array([1, 2, 2]), np.array([2, 3, 3])
    g = arborvane.from_arrays(u, v, np.array([0.5, 1.0, 2.0]))
    assert isinstance(g, arborvane.Graph) and not g.directed and g.edges()[2].tolist() == [0.5, 3.0]
    assert arborvane.from_arrays(u, v, directed=True).directed
    assert isinstance(arborvane.from_arrays(u, v), arborvane.IntGraphCore)
    for line in ("1 2 0.5\n", "1 2 3\n"):  # the pair reader points to the weighted one
        (tmp_path / "w.txt").write_text(line)
        with pytest.raises(ValueError, match=r"; for a weight column use arborvane\.Graph\.read_edgelist"):
            arborvane.read_edgelist(str(tmp_path / "w.txt"))
        assert arborvane.Graph.read_edgelist(str(tmp_path / "w.txt")).weighted


def test_bad_input_is_refused_with_the_argument_named():
    with pytest.raises(ValueError, match="weights"):
        arborvane.from_edges([0], [1], weights=[1.0, 2.0])
    with pytest.raises(ValueError, match="NaN"):
        arborvane.from_edges([0], [1], weights=[math.nan])
    with pytest.raises(TypeError, match="weights"):
        arborvane.from_edges([0], [1], weights=["x"])
    with pytest.raises(ValueError, match="same length"):
        arborvane.from_edges([0, 1], [1])
    g = arborvane.from_edges([0, 1], [1, 2], weights=[1.0, -1.0], directed=True)
    with pytest.raises(ValueError, match="weights"):
        g.dijkstra(0)
    assert g.bfs_distances(0)[1].tolist() == [0, 1, 2]
    with pytest.raises(TypeError):
        arborvane.Graph()
    with pytest.raises(ValueError):
        g.csr()[1][0] = 5  # read-only


def test_native_functions_refuse_broken_rows():
    indptr = np.array([0, 1, 2], dtype=np.int64)
    with pytest.raises(ValueError, match="valid CSR"):
        _native.arrays.csr_bfs(indptr, np.array([1, 7], dtype=np.int32), None, 0)
    with pytest.raises(ValueError, match="valid CSR"):
        _native.arrays.csr_components(np.array([0, 3, 2], dtype=np.int64), np.zeros(2, np.int32), None, True)
    with pytest.raises(TypeError, match="indices"):
        _native.arrays.csr_bfs(indptr, np.zeros(2, np.int16), None, 0)
    with pytest.raises(IndexError):
        _native.arrays.csr_dijkstra(indptr, np.zeros(2, np.int32), None, 2, None)


def test_conversions_round_trip():
    ref = nx.MultiDiGraph([("a", "b", {"weight": 1.5}), ("a", "b", {"weight": 2.0}), ("c", "c")])
    ref.add_node("lonely")
    g = arborvane.Graph.from_networkx(ref)
    assert g.directed and sorted(g.to_networkx().edges(data="weight")) == [("a", "b", 3.5), ("c", "c", 1.0)]
    assert "lonely" in g.labels.tolist()
    assert not arborvane.Graph.from_networkx(nx.path_graph(3), weight=None).weighted

    sparse = pytest.importorskip("scipy.sparse")
    a = sparse.csr_array(np.array([[0, 2.0, 0], [2.0, 0, 0], [0, 0, 0]]))
    und = arborvane.Graph.from_scipy_sparse(a, labels=["x", "y", "z"])
    assert not und.directed and und.number_of_edges() == 1 and len(und) == 3
    assert arborvane.Graph.from_scipy_sparse(sparse.csr_array(np.array([[0, 2.0], [1.0, 0]]))).directed
    stored_zero = sparse.coo_array((np.zeros(1), (np.array([0]), np.array([1]))), shape=(2, 2))
    assert arborvane.Graph.from_scipy_sparse(stored_zero).directed  # a stored zero is an edge

    pd = pytest.importorskip("pandas")
    df = pd.DataFrame({"s": ["p", "q"], "t": ["q", "r"], "w": [1, 2]})
    g = arborvane.from_pandas_edgelist(df, "s", "t", "w", directed=True)
    assert g.shortest_path_length("p", "r") == 3.0
    g32 = arborvane.from_edges([0], [1], weights=[0.1], weight_dtype=np.float32)
    assert g32.csr()[2].dtype == np.float32 and g32.dijkstra(0)[1][1] == np.float32(0.1)


@pytest.mark.parametrize("parser", ["pandas", "python"])
def test_read_edgelist_columns_header_delimiter(tmp_path, monkeypatch, parser):
    if parser == "pandas":
        pytest.importorskip("pandas")
    else:
        from arborvane import graph_io

        monkeypatch.setattr(graph_io, "_columns_by_pandas", lambda *args: None)
    path = tmp_path / "g.tsv"
    path.write_text("# comment\nkm\tfrom\tto\n2.5\tx\ty\n1\ty\tz\n")
    g = arborvane.Graph.read_edgelist(str(path), delimiter="\t", header=True, source="from", target="to",
                                      weight="km", directed=True)
    assert g.shortest_path_length("x", "z") == 3.5
    plain = tmp_path / "g.txt"
    plain.write_text("1 2\n2 3\n")
    g = arborvane.Graph.read_edgelist(str(plain))
    assert g.labels.dtype == np.int64 and not g.weighted
    plain.write_text("1.5 2 1\n2 3 2\n")
    assert arborvane.Graph.read_edgelist(str(plain)).labels.tolist() == ["1.5", "2", "3"]
    plain.write_text("1 2 x\n")
    with pytest.raises(ValueError, match="not a number"):
        arborvane.Graph.read_edgelist(str(plain))
    plain.write_text("1 2 1\n3 4\n")
    with pytest.raises(ValueError, match="column"):
        arborvane.Graph.read_edgelist(str(plain))
    with pytest.raises(KeyError, match="nope"):
        arborvane.Graph.read_edgelist(str(path), delimiter="\t", header=True, source="nope")


def test_long_kernels_answer_ctrl_c():
    from conftest import run_python
    from test_interrupts import PRELUDE

    run_python(PRELUDE + """
import numpy as np, arborvane
rng = np.random.default_rng(1)
u, v = rng.integers(0, 20000, 200000), rng.integers(0, 20000, 200000)
g = arborvane.from_edges(u, v, weights=rng.random(200000), directed=True)
interrupted(lambda: g.pagerank(max_iter=10**12, tol=0.0))
assert abs(g.pagerank()[1].sum() - 1.0) < 1e-9  # usable afterwards
""")


def test_bench_figures_and_directed_workloads_agree_with_the_peers(tmp_path):
    import json
    import os
    import subprocess
    import sys

    root = os.path.join(os.path.dirname(__file__), "..")
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    script = os.path.join(root, "bench", "directed_weighted_figures.py")
    done = subprocess.run([sys.executable, script, "--nodes", "60", "--edges", "300", "--repeats", "1"],
                          capture_output=True, text=True, timeout=300, env=env)
    assert done.returncode == 0, done.stderr
    figures = json.loads(done.stdout)
    assert figures["bytes_per_edge"]["float32"] < figures["bytes_per_edge"]["float64"]
    directed = ",".join(("directed_build", "directed_dijkstra", "directed_bfs", "directed_strong"))
    done = subprocess.run([sys.executable, "-m", "bench", "--quick", "--sizes", "tiny", "--libs", "arborvane,networkit",
                           "--threads", "1", "--repeats", "1", "--workloads", directed, "--json", str(tmp_path / "r.json"),
                           "--markdown", str(tmp_path / "r.md"), "--data-dir", str(tmp_path / "data")],
                          cwd=root, capture_output=True, text=True, timeout=300, env=env)
    assert done.returncode == 0, done.stderr
    checks = json.loads((tmp_path / "r.json").read_text())["checks"]["tiny"]
    assert {c["workload"] for c in checks} >= {"directed_build", "directed_dijkstra", "directed_strong"}
