"""Every export and analytic over graphs whose ids hit every corner of the id
map (hostile_graph): the overflow entries, the vacant key, the extreme ids,
self-loops and isolated nodes, against the list exports and NetworkX."""

import networkx as nx
import numpy as np
import pytest

import arborvane
from graph_helpers import INT64_MIN, crafted, hostile_graph
from test_analytics import reference_pagerank
from test_graph_analytics import reference_betweenness, reference_sources, without_loops

GRAPHS = {"small": hostile_graph(False), "grown": hostile_graph(True)}


def wide_graph():
    """The grown graph past 65,536 map positions, where the array exports
    cut the map into ranges for the worker pool."""
    g = hostile_graph(True)
    g.add_edges_from([(n, n + 1) for n in range(10**6, 10**6 + 80_000, 2)])
    return g


@pytest.fixture(params=list(GRAPHS), scope="module")
def g(request):
    return GRAPHS[request.param]


@pytest.fixture(scope="module")
def G(g):
    return arborvane.to_networkx(g)


def test_the_fixture_reaches_the_overflow_entries():
    # 200 ids of home slot 0 and then id 0 (hash 0): the first 128 take
    # slots 0 to 127, the rest live in the overflow entries, which come last.
    assert GRAPHS["small"].nodes()[-73:] == crafted(200)[128:] + [0]
    assert GRAPHS["small"].nodes()[0] == INT64_MIN


def saved_and_loaded(g, tmp_path):
    # A loaded graph keeps the node order; its neighbour sets are rebuilt.
    arborvane.save(g, tmp_path / "g.avg")
    h = arborvane.load(tmp_path / "g.avg")
    return h.nodes(), sorted(h.edges())


def written_edge_list(g, tmp_path):
    arborvane.write_edgelist(g, tmp_path / "g.txt")
    return (tmp_path / "g.txt").read_text()


def scipy_rows(g):
    A, ids = arborvane.to_scipy_sparse(g)
    return ids.tolist(), [sorted(ids[A.indices[A.indptr[i]:A.indptr[i + 1]]].tolist()) for i in range(len(ids))]


EXPORTS = {
    "node_array": (lambda g, _: arborvane.node_array(g).tolist(), lambda g: g.nodes()),
    "degree_array": (lambda g, _: arborvane.degree_array(g).tolist(), lambda g: [d for _, d in g.degree_sequence()]),
    "edge_array": (lambda g, _: [tuple(e) for e in arborvane.edge_array(g).tolist()], lambda g: g.edges()),
    "write_edgelist": (written_edge_list, lambda g: "".join(f"{u} {v}\n" for u, v in g.edges())),
    "save/load": (saved_and_loaded, lambda g: (g.nodes(), sorted(g.edges()))),
    "to_scipy_sparse": (lambda g, _: scipy_rows(g), lambda g: (g.nodes(), [sorted(g.neighbors(n)) for n in g.nodes()])),
}


@pytest.fixture(scope="module")
def wide():
    return wide_graph()


@pytest.mark.parametrize("name", list(EXPORTS))
def test_exports_match_the_lists(g, wide, name, tmp_path):
    ours, lists = EXPORTS[name]
    assert ours(g, tmp_path) == lists(g)
    if g is GRAPHS["grown"]:
        assert ours(wide, tmp_path) == lists(wide)


def components(g, G):
    ids, labels = arborvane.component_labels(g)
    assert np.bincount(labels).tolist() == g.connected_component_sizes()
    first_met = list(dict.fromkeys(labels.tolist()))
    assert first_met == list(range(len(first_met)))
    ours = sorted(sorted(ids[labels == k].tolist()) for k in range(len(first_met)))
    return ours, sorted(sorted(c) for c in nx.connected_components(G))


def distances(g, G):
    out = []
    for source in [INT64_MIN, crafted(200)[150], g.nodes()[-1]]:
        ids, dist = arborvane.bfs_distances(g, source)
        reach = nx.single_source_shortest_path_length(G, source)
        out.append((dict(zip(ids.tolist(), dist.tolist())), {n: reach.get(n, -1) for n in g.nodes()}))
        for target in g.nodes()[::97] + [g.nodes()[-1]]:
            assert g.shortest_path_length(source, target) == reach.get(target, -1)
    return tuple(zip(*out))


def betweenness(g, G):
    sample = None if len(g) < 1000 else 5
    ids, scores = arborvane.betweenness_centrality(g, k=sample, seed=3)
    if sample is None:
        return dict(zip(ids.tolist(), scores.tolist())), nx.betweenness_centrality(G)
    sources = [g.nodes()[i] for i in reference_sources(len(g), sample, 3)]
    return dict(zip(ids.tolist(), scores.tolist())), reference_betweenness(G, sources, True, True)


def pagerank(g, G):
    ids, scores = arborvane.pagerank_array(g)
    assert list(zip(ids.tolist(), scores.tolist())) == g.pagerank()
    # Not NetworkX's: a node without neighbours hands its share to nobody.
    return dict(g.pagerank()), dict(reference_pagerank(g))


def louvain_modularity(g, G):
    # The partition found, scored by both: labels must line up with the nodes.
    ids, labels = arborvane.louvain_communities(g, seed=1)
    groups = {}
    for node, label in zip(ids.tolist(), labels.tolist()):
        groups.setdefault(label, set()).add(node)
    return arborvane.modularity(g, labels), nx.community.modularity(G, groups.values())


def per_node(function, reference):
    return lambda g, G: (dict(zip(*(a.tolist() for a in function(g)))), reference(G))


ANALYTICS = {
    "pagerank": pagerank,
    "component_labels": components,
    "bfs_distances": distances,
    "core_number": per_node(arborvane.core_number, lambda G: nx.core_number(without_loops(G))),
    "clustering": per_node(arborvane.clustering, nx.clustering),
    "average_clustering": lambda g, G: (arborvane.average_clustering(g), nx.average_clustering(G)),
    "transitivity": lambda g, G: (arborvane.transitivity(g), nx.transitivity(G)),
    "betweenness_centrality": betweenness,
    "degree_centrality": per_node(arborvane.degree_centrality, nx.degree_centrality),
    "louvain_communities": louvain_modularity,
}


@pytest.mark.parametrize("name", list(ANALYTICS))
def test_analytics_match_networkx(g, G, name):
    ours, reference = ANALYTICS[name](g, G)
    if isinstance(ours, dict):
        assert list(ours) == g.nodes() and ours.keys() == reference.keys()
        ours, reference = list(ours.values()), [reference[n] for n in ours]
    if ours != reference:  # sums of floats may differ in their last bits from NetworkX's
        assert ours == pytest.approx(reference, rel=1e-12, abs=1e-15)
