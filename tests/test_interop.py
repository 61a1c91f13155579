"""Conversion to and from NetworkX graphs."""

import pytest

import arborvane
from conftest import run_python
from arborvane import IntGraphCore, from_networkx, to_networkx

nx = pytest.importorskip("networkx")


def edge_set(edges):
    return {frozenset(e) for e in edges}


def test_round_trip_keeps_isolated_nodes_self_loops_and_extreme_ids():
    G = nx.Graph()
    G.add_nodes_from([42, -7, 2**63 - 1])          # isolated
    G.add_edges_from([(1, 2), (2, 3), (3, 1), (-2**63, 0), (5, 5)])
    g = from_networkx(G)
    assert isinstance(g, IntGraphCore)
    assert set(g.nodes()) == set(G.nodes)
    assert g.number_of_edges() == G.number_of_edges() == 5
    assert edge_set(g.edges()) == edge_set(G.edges)
    assert g.has_edge(5, 5) and g.degree(42) == 0
    H = to_networkx(g)
    assert type(H) is nx.Graph
    assert set(H.nodes) == set(G.nodes) and edge_set(H.edges) == edge_set(G.edges)
    assert nx.number_of_selfloops(H) == 1


def test_round_trip_of_a_larger_graph_agrees_with_networkx_analytics():
    G = nx.gnm_random_graph(300, 1200, seed=3)
    G.add_node(1000)
    g = from_networkx(G)
    assert sorted(g.connected_component_sizes()) == sorted(len(c) for c in nx.connected_components(G))
    assert g.triangle_count() == sum(nx.triangles(G).values()) // 3
    assert g.shortest_path_length(0, 299) == nx.shortest_path_length(G, 0, 299)
    H = to_networkx(g)
    assert set(H.nodes) == set(G.nodes) and edge_set(H.edges) == edge_set(G.edges)


def test_integer_scalars_are_accepted():
    np = pytest.importorskip("numpy")
    G = nx.Graph([(np.int64(1), np.int32(2)), (np.uint8(2), np.int16(3))])
    assert edge_set(from_networkx(G).edges()) == {frozenset((1, 2)), frozenset((2, 3))}


@pytest.mark.parametrize("make, message", [
    (lambda: nx.DiGraph([(1, 2)]), "undirected"),
    (lambda: nx.MultiGraph([(1, 2), (1, 2)]), "multigraph"),
    (lambda: nx.MultiDiGraph([(1, 2)]), "directed"),
    (lambda: nx.Graph([(1, 2), (2, "b"), (3, "c")]), "node 'b' is of type str"),
    (lambda: nx.Graph([(1, 2.0)]), "node 2.0 is of type float"),
    (lambda: nx.Graph([(True, 5)]), "node True is a bool"),
    (lambda: [(1, 2)], "expects a networkx.Graph"),
])
def test_refusals_are_type_errors(make, message):
    with pytest.raises(TypeError, match=message):
        from_networkx(make())


def test_id_outside_64_bits_is_named():
    with pytest.raises(OverflowError, match=str(2**63)):
        from_networkx(nx.Graph([(1, 2**63)]))


def test_to_networkx_refuses_other_objects():
    with pytest.raises(TypeError, match="expects an IntGraphCore"):
        to_networkx(nx.Graph())


def test_package_exports_without_importing_networkx():
    assert {"IntGraphCore", "from_networkx", "to_networkx"} <= set(arborvane.__all__)
    out = run_python("import sys, arborvane; print('networkx' in sys.modules, 'scipy' in sys.modules)")
    assert out.split() == ["False", "False"]
