"""Bulk loaders (add_nodes_from, add_edges_from, add_edges_flat) and the
whole-graph exports (nodes, edges, edges_flat, degree_sequence)."""

import random

import pytest

from arborvane._accel import IntGraphCore

from conftest import snapshot


def one_by_one(pairs):
    g = IntGraphCore()
    for u, v in pairs:
        g.add_edge(u, v)
    return g


def random_pairs(count, lo, hi, seed):
    rng = random.Random(seed)
    return [(rng.randint(lo, hi), rng.randint(lo, hi)) for _ in range(count)]


# ---- loaders ------------------------------------------------------------------

def test_loaders_equal_single_insertions_in_list_order():
    pairs = random_pairs(5000, -300, 300, seed=1) + [(5, 5), (5, 5), (2**63 - 1, -(2**63))]
    flat = [x for p in pairs for x in p]
    reference = one_by_one(pairs)
    by_pairs = IntGraphCore()
    by_pairs.add_edges_from(pairs)
    by_flat = IntGraphCore()
    by_flat.add_edges_flat(flat)
    # Same history of insertions, so the same iteration orders everywhere.
    for g in (by_pairs, by_flat):
        assert g.nodes() == reference.nodes()
        assert g.edges() == reference.edges()
        assert g.degree_sequence() == reference.degree_sequence()
        assert g.number_of_edges() == reference.number_of_edges()
        assert all(g.neighbors(n) == reference.neighbors(n) for n in reference.nodes())
    nodes = IntGraphCore()
    nodes.add_nodes_from(flat)
    single = IntGraphCore()
    for x in flat:
        single.add_node(x)
    assert nodes.nodes() == single.nodes() and nodes.number_of_edges() == 0


def test_loading_into_a_graph_that_has_nodes():
    g = one_by_one([(1, 2)])
    g.add_edges_from([(2, 1), (1, 2), (3, 1)])
    g.add_edges_flat([1, 3, 4])
    assert g.number_of_edges() == 2 and sorted(g.nodes()) == [1, 2, 3]
    g.add_nodes_from([3, 3, -7])
    assert sorted(g.nodes()) == [-7, 1, 2, 3] and g.number_of_edges() == 2


def test_flat_list_odd_and_tiny():
    g = IntGraphCore()
    assert g.add_edges_flat([1, 2, 3, 4, 5]) is None
    assert sorted(g.edges()) == [(1, 2), (3, 4)] and not g.has_node(5)
    g = IntGraphCore()
    g.add_edges_flat([9])
    assert g.nodes() == []
    g.add_edges_flat([])
    g.add_edges_from([])
    assert g.add_nodes_from([]) is None and g.nodes() == []


def test_self_loops_count_once():
    g = IntGraphCore()
    g.add_edges_from([(5, 5)])
    g.add_edges_from([(5, 5)])
    g.add_edges_flat([5, 5])
    assert g.number_of_edges() == 1 and g.neighbors(5) == [5] and g.degree(5) == 1


def test_many_nodes_past_the_initial_room():
    g = IntGraphCore()
    g.add_edges_from([(i, i + 1) for i in range(0, 60000, 2)])
    g.add_nodes_from(range(-1, -5000, -1))
    g.add_edges_flat(list(range(100000, 140000)))
    assert g.number_of_nodes() == 60000 + 4999 + 40000
    assert g.number_of_edges() == 30000 + 20000
    assert g.has_edge(100001, 100000) and not g.has_edge(100001, 100002)


@pytest.mark.parametrize("method,bad,error", [
    ("add_nodes_from", "x", TypeError),
    ("add_edges_flat", 2.5, TypeError),
    ("add_edges_flat", 2**63, OverflowError),
    ("add_edges_from", [8, 9], TypeError),
    ("add_edges_from", (1, 2, 3), ValueError),
])
def test_bad_last_element_of_a_long_list_changes_nothing(method, bad, error):
    g = one_by_one([(1, 2), (-3, 3)])
    g.triangle_count()  # builds a snapshot that must survive the failed call
    before = snapshot(g)
    count = 1_000_000
    if method == "add_edges_from":
        arg = [(i, i + 1) for i in range(count // 2)] + [bad]
    else:
        arg = list(range(count)) + [bad]
    with pytest.raises(error):
        getattr(g, method)(arg)
    with pytest.raises(error):
        getattr(g, method)(tuple(arg))
    assert snapshot(g) == before
    assert g.number_of_edges() == 2 and g.triangle_count() == 0


def test_errors_name_the_parameter_of_each_loader():
    g = IntGraphCore()
    for method, param, arg in [("add_nodes_from", "nodes", [1, None]),
                               ("add_edges_flat", "flat", [1, 2, None]),
                               ("add_edges_from", "edges", [(1, 2), [8, 9]])]:
        with pytest.raises(TypeError, match=rf"^argument '{param}': "):
            getattr(g, method)(arg)
    assert g.nodes() == []


def test_loads_invalidate_analytics_state():
    g = one_by_one([(1, 2), (2, 3)])
    assert g.triangle_count() == 0
    g.add_edges_flat([3, 1])
    assert g.triangle_count() == 1
    g.add_edges_from([(3, 4), (4, 1)])
    assert g.triangle_count() == 2
    g.add_nodes_from([10])
    assert len(g.pagerank()) == 5


# ---- exports ------------------------------------------------------------------

def test_empty_graph_exports():
    g = IntGraphCore()
    assert g.nodes() == [] and g.edges() == [] and g.edges_flat() == [] and g.degree_sequence() == []


def test_smaller_id_first_with_negative_ids():
    g = IntGraphCore()
    g.add_edge(2, 1)
    g.add_edge(3, -5)
    g.add_edge(-(2**63), 2**63 - 1)
    g.add_edge(0, -1)
    g.add_edge(4, 4)
    g.add_node(9)
    edges = g.edges()
    assert sorted(edges) == sorted([(1, 2), (-5, 3), (-(2**63), 2**63 - 1), (-1, 0), (4, 4)])
    assert all(u <= v for u, v in edges)
    flat = g.edges_flat()
    assert list(zip(flat[::2], flat[1::2])) == edges
    assert dict(g.degree_sequence())[9] == 0 and dict(g.degree_sequence())[4] == 1
    assert all(type(x) is int for x in flat)
    assert all(type(t) is tuple and len(t) == 2 for t in edges + g.degree_sequence())


def test_export_lengths_orders_and_grouping():
    pairs = random_pairs(20000, -2000, 2000, seed=3) + [(7, 7), (-7, -7)]
    g = IntGraphCore()
    g.add_edges_from(pairs)
    nodes = g.nodes()
    edges = g.edges()
    assert len(nodes) == len(g.degree_sequence()) == g.number_of_nodes() == len(set(nodes))
    assert len(edges) == g.number_of_edges() == len(set(edges))
    assert len(g.edges_flat()) == 2 * g.number_of_edges()
    assert set(edges) == {(min(u, v), max(u, v)) for u, v in pairs}
    # Grouped by first id, groups in node order, members in neighbour order.
    expected = [(u, v) for u in nodes for v in g.neighbors(u) if v >= u]
    assert edges == expected
    assert g.degree_sequence() == [(n, g.degree(n)) for n in nodes]
    # Repeated calls give identical lists, and the lists are copies.
    assert g.edges() == edges and g.nodes() == nodes
    edges.clear()
    assert len(g.edges()) == g.number_of_edges()


def test_exports_do_not_share_mutable_state():
    g = one_by_one([(1000, 2000), (1000, 3000)])
    first = g.edges()
    assert [u for u, _ in first] == [1000, 1000]
    flat = g.edges_flat()
    flat[0] = -1
    assert g.edges_flat()[0] == 1000
