"""Component labels, BFS distances, core numbers, clustering and betweenness
(arborvane.analytics) against NetworkX's definitions and plain serial
references."""

import math
import random
import signal
import sys

import networkx as nx
import numpy as np
import pytest

import arborvane
from arborvane import IntGraphCore
from conftest import run_python, snapshot
from graph_helpers import CallsBack, graph, interrupt_after

INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1
MASK64 = (1 << 64) - 1

PER_NODE = {
    "component_labels": arborvane.component_labels,
    "bfs_distances": lambda g: arborvane.bfs_distances(g, g.nodes()[0]),
    "core_number": arborvane.core_number,
    "clustering": arborvane.clustering,
    "betweenness_centrality": arborvane.betweenness_centrality,
    "degree_centrality": arborvane.degree_centrality,
}


# ---- graphs -------------------------------------------------------------------

def random_graph(seed):
    """A few dozen random ids (negatives and the extremes among them), with
    self-loops, isolated nodes and usually several components."""
    rng = random.Random(seed)
    n = rng.randint(2, 40)
    pool = rng.sample(range(-100, 100), n - 2) + [INT64_MIN, INT64_MAX]
    g = IntGraphCore()
    g.add_nodes_from(rng.sample(pool, rng.randint(0, n)))
    g.add_edges_from([(rng.choice(pool), rng.choice(pool)) for _ in range(rng.randint(0, 2 * n))])
    if rng.random() < 0.5:
        g.add_edge(pool[0], pool[0])
    return g


def relabelled(G, offset=-7):
    """A NetworkX generator's graph on negative and positive ids."""
    return graph(nodes=[v + offset for v in G], edges=[(u + offset, v + offset) for u, v in G.edges()])


SPECIAL = {
    "isolated": lambda: graph(nodes=[5, -3, INT64_MIN]),
    "self-loop only": lambda: graph(edges=[(7, 7)]),
    "triangle with loops": lambda: graph(edges=[(1, 2), (2, 3), (3, 1), (1, 1), (2, 2)]),
    "path": lambda: relabelled(nx.path_graph(9)),
    "star": lambda: relabelled(nx.star_graph(12)),
    "complete": lambda: relabelled(nx.complete_graph(7)),
    "barbell": lambda: relabelled(nx.barbell_graph(5, 3)),
    "two triangles and a pair": lambda: graph(nodes=[40], edges=[(1, 2), (2, 3), (3, 1), (10, 11),
                                                                  (11, 12), (12, 10), (-5, -6)]),
    "karate": lambda: relabelled(nx.karate_club_graph()),
}
GRAPHS = {**SPECIAL, **{f"random{seed}": (lambda seed=seed: random_graph(seed)) for seed in range(40)}}


@pytest.fixture(params=list(GRAPHS))
def g(request):
    return GRAPHS[request.param]()


def as_networkx(g):
    """The same graph in NetworkX, nodes in g's order."""
    return arborvane.to_networkx(g)


def without_loops(G):
    H = G.copy()
    H.remove_edges_from(list(nx.selfloop_edges(H)))
    return H


# ---- plain serial references ----------------------------------------------------

def reference_sources(n, k, seed):
    """The documented draw: a partial Fisher-Yates shuffle of 0..n-1, position
    j swapped with one drawn from [j, n) by Lemire's multiply-and-reject on
    splitmix64(seed); the first k positions, ascending."""
    state = seed & MASK64

    def next64():
        nonlocal state
        state = (state + 0x9E3779B97F4A7C15) & MASK64
        z = state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK64
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK64
        return z ^ (z >> 31)

    def below(bound):
        product = next64() * bound
        if product & MASK64 < bound:
            threshold = ((1 << 64) - bound) % bound
            while product & MASK64 < threshold:
                product = next64() * bound
        return product >> 64

    pool = list(range(n))
    for j in range(k):
        i = j + below(n - j)
        pool[j], pool[i] = pool[i], pool[j]
    return sorted(pool[:k])


def reference_betweenness(G, sources, normalized, sampled):
    """Brandes' accumulation from each source in turn, then NetworkX's scaling
    for undirected graphs without endpoints (sampled sources scaled as one
    of k - 1, everything else as one of k; nothing below three nodes)."""
    score = dict.fromkeys(G, 0.0)
    for s in sources:
        order, dist, preds = [s], {s: 0}, {s: []}
        sigma = dict.fromkeys(G, 0.0)
        sigma[s] = 1.0
        for v in order:  # the list grows while it is walked: a queue
            for w in G[v]:
                if w not in dist:
                    dist[w], preds[w] = dist[v] + 1, []
                    order.append(w)
                if dist[w] == dist[v] + 1:
                    sigma[w] += sigma[v]
                    preds[w].append(v)
        delta = dict.fromkeys(order, 0.0)
        for w in reversed(order):
            for v in preds[w]:
                delta[v] += sigma[v] / sigma[w] * (1 + delta[w])
            if w != s:
                score[w] += delta[w]
    targets = len(G) - 1
    if targets < 2:
        return score
    k = len(sources) if sampled else targets

    def scale(count):
        if count == 0:
            return math.nan
        return 1 / (count * (targets - 1)) if normalized else targets / (count * 2)

    own, other = scale(k - 1), scale(k)
    chosen = set(sources) if sampled else set()
    return {v: x * (own if v in chosen else other) for v, x in score.items()}


def assert_close(ours, reference):
    np.testing.assert_allclose(ours, np.array(reference, dtype=np.float64), rtol=1e-12, atol=1e-12)


# ---- against NetworkX ---------------------------------------------------------------

class TestAgainstNetworkX:
    def test_every_result_lines_up_with_node_array(self, g):
        if len(g) == 0:
            return
        for function in PER_NODE.values():
            ids, values = function(g)
            assert ids.dtype == np.int64 and ids.tolist() == arborvane.node_array(g).tolist()
            assert values.shape == ids.shape

    def test_component_labels(self, g):
        ids, labels = arborvane.component_labels(g)
        assert np.bincount(labels, minlength=0).tolist() == g.connected_component_sizes()
        # Numbered in first-met order, and equal exactly within a component.
        assert list(dict.fromkeys(labels.tolist())) == list(range(len(set(labels.tolist()))))
        first = {}
        for v, label in zip(ids.tolist(), labels.tolist()):
            first.setdefault(label, v)
        component = {v: i for i, c in enumerate(nx.connected_components(as_networkx(g))) for v in c}
        for v, label in zip(ids.tolist(), labels.tolist()):
            assert component[v] == component[first[label]]
        assert len(first) == nx.number_connected_components(as_networkx(g))

    def test_bfs_distances_from_every_node(self, g):
        G = as_networkx(g)
        for source in list(G)[:12]:
            ids, distances = arborvane.bfs_distances(g, source)
            expected = nx.single_source_shortest_path_length(G, source)
            assert distances.tolist() == [expected.get(v, -1) for v in ids.tolist()]

    def test_core_number_ignores_self_loops(self, g):
        ids, cores = arborvane.core_number(g)
        expected = nx.core_number(without_loops(as_networkx(g)))
        assert cores.tolist() == [expected[v] for v in ids.tolist()]

    def test_clustering_is_bit_exact(self, g):
        G = as_networkx(g)
        ids, values = arborvane.clustering(g)
        expected = nx.clustering(G)
        assert values.tolist() == [float(expected[v]) for v in ids.tolist()]
        assert arborvane.transitivity(g) == nx.transitivity(G)

    def test_degree_centrality_is_bit_exact(self, g):
        # Self-loops count twice; one node (with or without a loop) gives 1.0.
        ids, values = arborvane.degree_centrality(g)
        expected = nx.degree_centrality(as_networkx(g))
        assert values.tolist() == [float(expected[v]) for v in ids.tolist()]

    def test_average_clustering(self, g):
        if len(g) == 0:
            assert arborvane.average_clustering(g) == 0.0
            return
        ours = arborvane.average_clustering(g)
        assert math.isclose(ours, nx.average_clustering(as_networkx(g)), rel_tol=1e-12, abs_tol=1e-15)
        if sys.version_info >= (3, 12):  # sum() compensates from 3.12 on, as we do
            assert ours == sum(arborvane.clustering(g)[1].tolist()) / len(g)

    @pytest.mark.parametrize("normalized", [True, False])
    def test_betweenness_over_all_sources(self, g, normalized):
        ids, scores = arborvane.betweenness_centrality(g, normalized=normalized)
        expected = nx.betweenness_centrality(as_networkx(g), normalized=normalized)
        assert_close(scores, [expected[v] for v in ids.tolist()])

    @pytest.mark.parametrize("normalized", [True, False])
    def test_betweenness_from_sampled_sources(self, g, normalized):
        rng = random.Random(len(g))
        k, seed = rng.randint(1, max(1, len(g))), rng.randrange(-(2**70), 2**70)
        if len(g) == 0:
            return
        ids, scores = arborvane.betweenness_centrality(g, k=k, seed=seed, normalized=normalized)
        sources = [ids[i] for i in reference_sources(len(g), k, seed)]
        expected = reference_betweenness(as_networkx(g), [int(s) for s in sources], normalized, sampled=True)
        assert_close(scores, [expected[v] for v in ids.tolist()])


# ---- edges of the definitions and arguments --------------------------------------------

class TestEdgeCases:
    def test_empty_graph(self):
        g = IntGraphCore()
        for name, function in PER_NODE.items():
            if name == "bfs_distances":
                continue
            ids, values = function(g)
            assert ids.size == values.size == 0
        assert arborvane.average_clustering(g) == arborvane.transitivity(g) == 0.0

    def test_dtypes(self):
        g = graph(edges=[(1, 2), (2, 3)])
        assert arborvane.component_labels(g)[1].dtype == np.int64
        assert arborvane.bfs_distances(g, 1)[1].dtype == np.int64
        assert arborvane.core_number(g)[1].dtype == np.int64
        assert arborvane.clustering(g)[1].dtype == np.float64
        assert arborvane.betweenness_centrality(g)[1].dtype == np.float64

    def test_bfs_source_that_is_not_a_node(self):
        g = graph(edges=[(1, 2)])
        before = snapshot(g)
        with pytest.raises(KeyError) as info:
            arborvane.bfs_distances(g, 3)
        assert info.value.args == (3,)
        with pytest.raises(TypeError, match="argument 'source'"):
            arborvane.bfs_distances(g, "1")
        with pytest.raises(OverflowError, match="source 9223372036854775808 is outside"):
            arborvane.bfs_distances(g, 2**63)
        assert snapshot(g) == before
        ids, distances = arborvane.bfs_distances(g, np.int64(2))
        assert dict(zip(ids.tolist(), distances.tolist())) == {1: 1, 2: 0}

    def test_betweenness_sample_size_and_seed(self):
        g = relabelled(nx.karate_club_graph())
        n = len(g)
        for k in (0, -1, n + 1, 2**64, -(2**64)):
            with pytest.raises(ValueError, match=f"between 1 and the number of nodes \\({n}\\), got {k}"):
                arborvane.betweenness_centrality(g, k=k, seed=1)
        with pytest.raises(TypeError, match="argument 'k'"):
            arborvane.betweenness_centrality(g, k=2.5)
        with pytest.raises(TypeError, match="argument 'seed'"):
            arborvane.betweenness_centrality(g, k=2, seed=2.5)
        same = [arborvane.betweenness_centrality(g, k=5, seed=9)[1].tobytes() for _ in range(2)]
        assert same[0] == same[1]
        # Seeds are taken modulo 2**64.
        assert arborvane.betweenness_centrality(g, k=5, seed=9 - 2**64)[1].tobytes() == same[0]
        # Every node a source, drawn or not: the same sums, the same scaling.
        everything = arborvane.betweenness_centrality(g)[1]
        assert arborvane.betweenness_centrality(g, k=n, seed=3)[1].tobytes() == everything.tobytes()
        # One source: its own score has no data (NaN, as NetworkX), the rest scale by 1/(N-1).
        ids, scores = arborvane.betweenness_centrality(g, k=1, seed=4)
        (source,) = reference_sources(n, 1, 4)
        assert math.isnan(scores[source]) and np.isfinite(np.delete(scores, source)).all()

    def test_seed_none_draws_sources(self):
        g = relabelled(nx.karate_club_graph())
        random.seed(12)
        first = arborvane.betweenness_centrality(g, k=3)[1]
        random.seed(12)
        assert arborvane.betweenness_centrality(g, k=3)[1].tobytes() == first.tobytes()

    def test_calls_overlapping_a_mutation_are_refused(self):
        g = graph(edges=[(1, 2)])
        before = snapshot(g)
        for function in (arborvane.component_labels, arborvane.core_number, arborvane.transitivity):
            with pytest.raises(RuntimeError, match=f"^{function.__name__}.*being changed by IntGraphCore.add_node"):
                g.add_node(CallsBack(lambda function=function: function(g), 9))
        # bfs_distances converts its source under the shared borrow: reads go ahead, mutations not.
        assert arborvane.bfs_distances(g, CallsBack(lambda: g.nodes(), 1))[1].tolist() == [{1: 0, 2: 1}[v] for v in g.nodes()]
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            arborvane.bfs_distances(g, CallsBack(lambda: g.add_node(3), 1))
        assert snapshot(g) == before
        assert arborvane.core_number(g)[1].tolist() == [1, 1]

    def test_results_follow_a_grown_graph(self):
        g = graph(edges=[(1, 2), (2, 3)])
        assert arborvane.core_number(g)[1].tolist() == [1, 1, 1]
        g.add_edge(3, 1)
        assert arborvane.core_number(g)[1].tolist() == [2, 2, 2]
        assert arborvane.transitivity(g) == 1.0


# ---- larger graphs: the parallel paths ------------------------------------------------

def skewed_graph():
    """A random graph with a hub and a second component: big enough for the
    pool, the pulling BFS steps and several betweenness rounds."""
    g = IntGraphCore()
    g.build_random(20_000, 120_000, 5)
    g.add_edges_from([(-1, v) for v in range(0, 20_000, 7)] + [(-1, -1), (10**9, 10**9 + 1)])
    return g


def test_larger_graph_against_networkx():
    g = skewed_graph()
    G = as_networkx(g)
    ids = arborvane.node_array(g).tolist()
    expected = nx.single_source_shortest_path_length(G, 3)
    assert arborvane.bfs_distances(g, 3)[1].tolist() == [expected.get(v, -1) for v in ids]
    cores = nx.core_number(without_loops(G))
    assert arborvane.core_number(g)[1].tolist() == [cores[v] for v in ids]
    clustering = nx.clustering(G)
    assert arborvane.clustering(g)[1].tolist() == [float(clustering[v]) for v in ids]
    labels = arborvane.component_labels(g)[1]
    assert np.bincount(labels).tolist() == g.connected_component_sizes()
    scores = arborvane.betweenness_centrality(g, k=3, seed=8)[1]
    sources = [ids[i] for i in reference_sources(len(ids), 3, 8)]
    reference = reference_betweenness(G, sources, True, sampled=True)
    assert_close(scores, [reference[v] for v in ids])


def test_betweenness_with_many_small_components():
    """Sources whose search stays small are added node by node, the others by
    a pass over all nodes: both must give NetworkX's sums."""
    G = nx.disjoint_union_all([nx.path_graph(5)] * 150 + [nx.cycle_graph(4)] * 50
                              + [nx.gnm_random_graph(300, 900, seed=3)])
    g = graph(nodes=list(G), edges=list(G.edges()))
    ids, scores = arborvane.betweenness_centrality(g, normalized=False)
    expected = nx.betweenness_centrality(G, normalized=False)
    assert_close(scores, [expected[v] for v in ids.tolist()])


def test_core_numbers_when_a_degree_level_holds_thousands_of_nodes():
    # 3,000 five-node paths: 6,000 nodes of degree 1 and 9,000 of degree 2,
    # so whole levels are peeled by the parallel path.
    edges = [(5 * i + j, 5 * i + j + 1) for i in range(3000) for j in range(4)]
    g = graph(edges=edges)
    expected = nx.core_number(nx.Graph(edges))
    ids, cores = arborvane.core_number(g)
    assert cores.tolist() == [expected[v] for v in ids.tolist()]


def diamond_chain(length):
    """Diamonds joined corner to corner: 2**length shortest paths end to end."""
    return graph(edges=[e for c in range(0, 3 * length, 3)
                        for e in ((c, c + 1), (c, c + 2), (c + 1, c + 3), (c + 2, c + 3))])


def test_betweenness_with_astronomically_many_shortest_paths():
    g = diamond_chain(300)  # 2**300 paths: the counts are rescaled, NetworkX's stay finite
    ids, scores = arborvane.betweenness_centrality(g)
    expected = nx.betweenness_centrality(as_networkx(g))
    assert_close(scores, [expected[v] for v in ids.tolist()])
    ids, scores = arborvane.betweenness_centrality(diamond_chain(1100))  # 2**1100 overflows a double
    assert np.isfinite(scores).all()
    by_node = dict(zip(ids.tolist(), scores.tolist()))
    assert all(by_node[v] == by_node[3300 - v] for v in by_node)  # the chain's mirror symmetry


THREAD_WORKLOAD = """
import hashlib
import arborvane
from arborvane import IntGraphCore
g = IntGraphCore()
g.build_random(20_000, 120_000, 5)
g.add_edges_from([(-1, v) for v in range(0, 20_000, 7)] + [(-1, -1), (10**9, 10**9 + 1)])
parts = [arborvane.component_labels(g), arborvane.bfs_distances(g, 3), arborvane.core_number(g),
         arborvane.clustering(g), arborvane.betweenness_centrality(g, k=40, seed=2), arborvane.degree_centrality(g)]
digest = hashlib.sha256()
for ids, values in parts:
    digest.update(ids.tobytes() + values.tobytes())
digest.update(repr((arborvane.average_clustering(g).hex(), arborvane.transitivity(g).hex())).encode())
print(digest.hexdigest())
"""


def test_same_bits_for_any_thread_count():
    digests = {threads: run_python(THREAD_WORKLOAD, {"RAYON_NUM_THREADS": threads}) for threads in ("1", "2", "5")}
    assert len(set(digests.values())) == 1, digests


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs setitimer")
def test_ctrl_c_stops_a_long_betweenness_and_leaves_the_graph():
    g = IntGraphCore()
    g.build_random(50_000, 250_000, 1)  # every source: minutes of work
    before = (len(g), g.number_of_edges(), g.nodes()[:100])
    previous = interrupt_after(0.05)
    try:
        with pytest.raises(KeyboardInterrupt):
            arborvane.betweenness_centrality(g)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert (len(g), g.number_of_edges(), g.nodes()[:100]) == before
    assert arborvane.core_number(g)[1].size == len(g)  # the borrow was released
