"""arborvane.Graph's undirected analytics: the snapshot kernels of
IntGraphCore run over the Graph's own arrays. They must agree with
IntGraphCore on the same edges and with NetworkX, leave the arrays alone,
and refuse rows that are not an undirected graph."""

import pickle

import pytest

np = pytest.importorskip("numpy")
nx = pytest.importorskip("networkx")

import arborvane  # noqa: E402
from arborvane import _native  # noqa: E402
from graph_helpers import hostile_graph  # noqa: E402
from test_graph import as_dict, partition, random_graph  # noqa: E402
from test_graph_analytics import without_loops  # noqa: E402

PER_NODE = ("triangles", "core_number", "clustering")


def same_edges(g):
    """The Graph with the edges and nodes of IntGraphCore g."""
    u, v = zip(*g.edges()) if g.number_of_edges() else ((), ())
    return arborvane.from_edges(np.array(u, np.int64), np.array(v, np.int64), nodes=np.array(g.nodes(), np.int64))


@pytest.mark.parametrize("grown", [False, True])
def test_graph_agrees_with_intgraphcore_on_the_same_edges(grown):
    g = hostile_graph(grown)
    G = same_edges(g)
    assert as_dict(G.core_number()) == as_dict(arborvane.core_number(g))
    assert as_dict(G.clustering()) == as_dict(arborvane.clustering(g))  # exact ratios: the same bits
    assert G.triangle_count() == g.triangle_count()
    assert G.transitivity() == arborvane.transitivity(g)
    assert G.average_clustering() == pytest.approx(arborvane.average_clustering(g), rel=1e-15)
    assert partition(G.connected_components()) == partition(arborvane.component_labels(g))


@pytest.mark.parametrize("seed", range(12))
def test_graph_matches_networkx(seed):
    g, ref = random_graph(seed, False)  # self-loops, isolated nodes, weights (ignored)
    assert as_dict(g.triangles()) == nx.triangles(ref)
    assert as_dict(g.core_number()) == nx.core_number(without_loops(ref))  # NetworkX refuses loops
    assert as_dict(g.clustering()) == nx.clustering(ref)
    assert g.triangle_count() == sum(nx.triangles(ref).values()) // 3
    assert g.transitivity() == nx.transitivity(ref)
    assert g.average_clustering() == pytest.approx(nx.average_clustering(ref), rel=1e-15)
    assert partition(g.connected_components()) == sorted(map(sorted, nx.connected_components(ref)))
    assert g.connected_components()[1].tolist() == g.weakly_connected_components()[1].tolist()


def test_karate_club_and_empty_graph():
    ref = nx.karate_club_graph()
    u, v = zip(*ref.edges())
    g = arborvane.from_edges(u, v)
    assert as_dict(g.triangles()) == nx.triangles(ref)
    assert as_dict(g.core_number()) == nx.core_number(ref)
    empty = arborvane.from_edges([], [])
    assert [len(getattr(empty, name)()[1]) for name in PER_NODE] == [0, 0, 0]
    assert (empty.triangle_count(), empty.average_clustering(), empty.transitivity()) == (0, 0.0, 0.0)


def test_arrays_stay_read_only_and_unchanged():
    g, _ = random_graph(3, False)
    before = [a.copy() for a in (g.labels, *g.csr()) if a is not None]
    for name in (*PER_NODE, "connected_components"):
        labels, values = getattr(g, name)()
        assert labels is g.labels and values.flags.owndata is False and len(values) == len(g)
    g.triangle_count(), g.transitivity(), g.average_clustering()
    after = [a for a in (g.labels, *g.csr()) if a is not None]
    assert all(not a.flags.writeable for a in after)
    assert all(np.array_equal(a, b) for a, b in zip(before, after))


def test_directed_graphs_are_refused_by_name():
    g = arborvane.from_edges([0, 1], [1, 2], directed=True)
    # clustering has a directed definition of its own
    for name in ("triangles", "core_number", "connected_components", "triangle_count", "transitivity", "average_clustering"):
        with pytest.raises(ValueError, match=rf"Graph\.{name}\(\) needs an undirected graph"):
            getattr(g, name)()


def test_wide_indices_and_rows_that_are_not_undirected():
    g, _ = random_graph(5, False)
    ip, ix, _ = g.csr()
    assert np.array_equal(np.asarray(_native.arrays.csr_triangles(ip, ix.astype(np.int64))), g.triangles()[1])
    assert np.array_equal(np.asarray(_native.arrays.csr_core_numbers(ip, ix.astype(np.int64))), g.core_number()[1])
    broken = {
        "one direction": (np.array([0, 1, 1]), np.array([1], np.int32)),
        "other direction": (np.array([0, 0, 1]), np.array([0], np.int32)),
        "unsorted": (np.array([0, 2, 3, 4]), np.array([2, 1, 0, 0], np.int32)),
        "repeated": (np.array([0, 2, 4]), np.array([1, 1, 0, 0], np.int32)),
    }
    for indptr, indices in broken.values():
        with pytest.raises(ValueError, match="needs an undirected graph"):
            _native.arrays.csr_undirected_clustering(indptr, indices)
    with pytest.raises(ValueError, match="valid CSR"):
        _native.arrays.csr_core_numbers(np.array([0, 1]), np.array([5], np.int32))


def test_built_rows_stay_read_only_and_vouch_only_for_themselves():
    # The analytics skip the shape check of the rows csr_build wrote, so
    # they must be unwritable, and must not vouch for other rows.
    g = arborvane.from_edges([0, 0, 1], [1, 2, 2])  # a triangle
    for array in g.csr()[:2]:
        with pytest.raises(ValueError):
            array.flags.writeable = True
    indptr, indices = g._analytic_rows
    assert np.asarray(indices).flags.writeable is False
    other_indptr, _ = arborvane.from_edges([0, 0, 0, 1], [0, 1, 2, 1])._analytic_rows  # [0, 3, 5, 6]
    with pytest.raises(ValueError, match="needs an undirected graph"):
        _native.arrays.csr_triangles(other_indptr, indices)
    assert _native.arrays.csr_triangle_count(indptr, indices) == 1
    assert pickle.loads(pickle.dumps(g)).triangle_count() == 1  # a copy's rows are checked instead
