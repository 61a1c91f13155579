"""arborvane.Graph's clustering and betweenness against NetworkX on small
random directed and undirected, weighted graphs (zero weights, self-loops,
unreachable nodes), and the same bits for any thread count."""

import random

import pytest

np = pytest.importorskip("numpy")
nx = pytest.importorskip("networkx")

import arborvane  # noqa: E402
from arborvane._native import arrays as _native  # noqa: E402


def random_graph(seed, directed, weights):
    """A random graph on a few dozen nodes with isolated ones, self-loops and
    the given weight pool, and the same graph in NetworkX with its adjacency
    in index order (where zero weights make NetworkX's result order-bound)."""
    rng = random.Random(seed)
    n = rng.randint(1, 30)
    m = rng.randint(0, 4 * n)
    u = [rng.randrange(n) for _ in range(m)] + [0]
    v = [rng.randrange(n) for _ in range(m)] + [0]
    w = [rng.choice(weights) for _ in range(m + 1)]
    g = arborvane.from_edges(u, v, weights=w, directed=directed, duplicates="last", nodes=range(n))
    return g, g.to_networkx()


def assert_matches(result, expected, rel, abs):
    labels, values = result
    assert values.tolist() == pytest.approx([expected[x] for x in labels.tolist()], rel=rel, abs=abs)


INTEGERS = [0.0, 1.0, 1.0, 2.0, 3.0]  # zero weights: ties NetworkX finds by equal sums
FLOATS = [0.1, 0.25, 0.7, 1.3, 2.9]
CASES = [(seed, directed, pool) for seed in range(14) for directed in (False, True) for pool in (INTEGERS, FLOATS)]


@pytest.mark.parametrize("seed, directed, pool", CASES)
def test_clustering_matches_networkx(seed, directed, pool):
    g, ref = random_graph(seed, directed, pool)
    assert_matches(g.clustering(), nx.clustering(ref), rel=0, abs=0)  # exact ratios of integers
    if any(w > 0 for w in pool):
        assert_matches(g.clustering(weighted=True), nx.clustering(ref, weight="weight"), rel=0, abs=1e-12)


@pytest.mark.parametrize("seed, directed, pool", CASES)
def test_betweenness_matches_networkx(seed, directed, pool):
    g, ref = random_graph(seed, directed, pool)
    for normalized, endpoints in [(True, False), (False, False), (True, True)]:
        for weighted in (False, True):
            expected = nx.betweenness_centrality(
                ref, normalized=normalized, endpoints=endpoints, weight="weight" if weighted else None
            )
            result = g.betweenness_centrality(normalized=normalized, weighted=weighted, endpoints=endpoints)
            assert_matches(result, expected, rel=1e-9, abs=1e-12)


def test_results_do_not_depend_on_the_thread_count():
    rng = np.random.default_rng(5)
    n, m = 1000, 6000
    u, v = rng.zipf(1.8, m) % n, rng.integers(0, n, m)
    w = rng.integers(0, 4, m).astype(float)
    before = arborvane.get_num_threads()
    try:
        for directed in (False, True):
            g = arborvane.from_edges(u, v, weights=w, directed=directed, duplicates="min", nodes=range(n))
            runs = []
            for threads in (1, 2, 5):
                arborvane.set_num_threads(threads)
                runs.append([g.clustering(weighted=True)[1].tobytes(), g.clustering()[1].tobytes(),
                             g.betweenness_centrality(weighted=True)[1].tobytes(),
                             g.betweenness_centrality()[1].tobytes()])
            assert runs[0] == runs[1] == runs[2]
    finally:
        arborvane.set_num_threads(before)


def test_bad_weights_and_rows_raise():
    g = arborvane.from_edges([0, 1], [1, 2], weights=[1.0, -1.0])
    with pytest.raises(ValueError, match="weights"):
        g.betweenness_centrality(weighted=True)
    assert g.betweenness_centrality()[1].tolist() == [0.0, 1.0, 0.0]
    with pytest.raises(ZeroDivisionError, match="largest weight"):
        arborvane.from_edges([0, 1], [1, 2], weights=[0.0, 0.0]).clustering(weighted=True)
    indptr, indices = np.array([0, 2, 2, 2]), np.array([2, 1], dtype=np.int32)
    with pytest.raises(ValueError, match="ascending"):
        _native.csr_clustering(indptr, indices, None, None, None, None)
    with pytest.raises(ValueError, match="in-rows"):
        _native.csr_clustering(indptr, indices[::-1].copy(), None, np.array([0, 0]), indices[:0], None)


def test_long_kernels_answer_ctrl_c():
    from conftest import run_python
    from test_interrupts import PRELUDE

    run_python(PRELUDE + """
import numpy as np, arborvane
rng = np.random.default_rng(1)
u, v = rng.integers(0, 3000, 600000), rng.integers(0, 3000, 600000)
g = arborvane.from_edges(u, v, weights=rng.random(600000), directed=True)
for call in (lambda: g.clustering(weighted=True), lambda: g.betweenness_centrality(weighted=True)):
    assert interrupted(call, after=0.1) < 1.0
assert g.bfs_distances(0)[1][0] == 0  # usable afterwards
""")
