"""PageRank and triangle count on the cached CSR snapshot."""

import itertools
import math
import os
import random

import pytest

from arborvane._accel import IntGraphCore
from conftest import run_python
from graph_helpers import graph

UNDER_SANITIZER = bool(os.environ.get("ARBORVANE_SANITIZER_RUN"))


def scores(g, **kwargs):
    return dict(g.pagerank(**kwargs))


# ---- independent references -------------------------------------------------

def reference_pagerank(g, damping=0.85, max_iter=100, tol=1e-6):
    """The recurrence in its push form: node by node in node order, each node
    hands its share to its neighbours in ascending id order, and every
    addition lands on the target in that sequence."""
    ids = g.nodes()
    n = len(ids)
    if n == 0:
        return []
    index = {v: i for i, v in enumerate(ids)}
    runs = [sorted(g.neighbors(v)) for v in ids]
    rank = [1.0 / n] * n
    teleport = (1.0 - damping) / n
    for _ in range(max_iter):
        nxt = [teleport] * n
        for i, run in enumerate(runs):
            if run:
                share = (damping * rank[i]) / len(run)
                for w in run:
                    nxt[index[w]] += share
        change = 0.0
        for j in range(n):
            change += abs(rank[j] - nxt[j])
        rank = nxt
        if change < tol:
            break
    return list(zip(ids, rank))


def reference_triangles(g):
    adj = {v: set(g.neighbors(v)) - {v} for v in g.nodes()}
    return sum(1 for u in adj for v in adj[u] if v > u for w in adj[u] & adj[v] if w > v)


def random_small_graph(rng):
    """Negative and positive ids, self-loops and isolated nodes."""
    ids = rng.sample(range(-40, 40), rng.randint(1, 30))
    g = IntGraphCore()
    g.add_nodes_from(ids)
    for _ in range(rng.randint(0, 3 * len(ids))):
        g.add_edge(rng.choice(ids), rng.choice(ids))
    return g


def same_bits(a, b):
    return [(u, x.hex()) for u, x in a] == [(u, x.hex()) for u, x in b]


# ---- PageRank ---------------------------------------------------------------

class TestPagerankValues:
    def test_empty_graph(self):
        assert IntGraphCore().pagerank() == []
        assert IntGraphCore().pagerank(damping=float("nan"), max_iter=0) == []

    def test_isolated_node_keeps_teleport_term(self):
        assert graph(nodes=[7]).pagerank() == [(7, 0.15000000000000002)]

    def test_self_loop_only_keeps_full_score(self):
        assert graph([(4, 4)]).pagerank() == [(4, 1.0)]

    def test_single_edge_is_exactly_half(self):
        assert sorted(graph([(1, 2)]).pagerank()) == [(1, 0.5), (2, 0.5)]

    def test_max_iter_zero_gives_uniform(self):
        assert sorted(graph(nodes=[1, 2, 3]).pagerank(max_iter=0)) == [(v, 1 / 3) for v in (1, 2, 3)]

    def test_path(self):
        s = scores(graph([(1, 2), (2, 3)]))
        assert s[1] == s[3] == pytest.approx(0.256757, abs=1e-6)
        assert s[2] == pytest.approx(0.486487, abs=1e-6)

    def test_star(self):
        s = scores(graph([(0, 1), (0, 2), (0, 3)]))
        assert s[0] == pytest.approx(0.479730, abs=1e-6)
        for leaf in (1, 2, 3):
            assert s[leaf] == pytest.approx(0.173423, abs=1e-6)

    def test_isolated_node_loses_its_mass(self):
        s = scores(graph([(1, 2), (2, 3), (1, 3)], nodes=[4]))
        assert s[1] == s[2] == s[3] == pytest.approx(0.25)
        assert s[4] == pytest.approx(0.0375)
        assert sum(s.values()) == pytest.approx(0.7875)

    def test_scores_sum_to_one_without_isolated_nodes(self):
        g = graph([(i, (i * 7 + 3) % 50) for i in range(50)])
        assert math.fsum(scores(g).values()) == pytest.approx(1.0, abs=1e-9)

    def test_zero_damping_is_uniform_after_one_iteration(self):
        g = graph([(1, 2), (2, 3)])
        assert g.pagerank(damping=0.0) == [(v, 1 / 3) for v in g.nodes()]

    def test_nan_damping_runs_every_iteration(self):
        g = graph([(1, 2), (2, 3)])
        assert all(math.isnan(x) for _, x in g.pagerank(damping=float("nan"), max_iter=5))
        assert g.pagerank(damping=float("nan"), max_iter=0) == [(v, 1 / 3) for v in g.nodes()]

    @pytest.mark.parametrize("tol", [0.0, -1.0, float("nan")])
    def test_tolerance_that_never_stops(self, tol):
        g = graph([(1, 2), (2, 3), (3, 3), (3, 4)])
        assert same_bits(g.pagerank(max_iter=37, tol=tol), reference_pagerank(g, max_iter=37, tol=tol))
        assert g.pagerank(max_iter=37, tol=tol) != g.pagerank(max_iter=36, tol=tol)

    def test_result_follows_node_order(self):
        g = graph([(-5, 3), (3, 9), (100, -5)], nodes=[42])
        assert [u for u, _ in g.pagerank()] == g.nodes()


class TestPagerankAgainstReference:
    @pytest.mark.parametrize("seed", range(25))
    def test_bit_exact_on_random_graphs(self, seed):
        rng = random.Random(seed)
        g = random_small_graph(rng)
        damping = rng.choice([0.85, 0.5, 0.99, 1.0, 1.3])
        tol = rng.choice([1e-6, 1e-12, 0.0])
        assert same_bits(g.pagerank(damping=damping, tol=tol), reference_pagerank(g, damping, 100, tol))

    def test_bit_exact_on_a_larger_graph(self):
        rng = random.Random(99)
        g = IntGraphCore()
        g.add_edges_flat([rng.randrange(-3000, 3000) for _ in range(2 * 12000)])
        assert same_bits(g.pagerank(max_iter=30, tol=0.0), reference_pagerank(g, max_iter=30, tol=0.0))

    def test_bit_exact_on_a_graph_larger_than_the_cache_segments(self):
        # Over 2^20 nodes, so the shares travel through the destination
        # blocks' bins (propagation blocking); most nodes are isolated to
        # keep the reference quick.
        rng = random.Random(7)
        ids = list(range(-550000, 550000))
        rng.shuffle(ids)
        g = IntGraphCore()
        g.add_nodes_from(ids)
        flat = [rng.choice(ids) for _ in range(2 * 60000)]
        flat += [x for v in rng.sample(ids, 3000) for x in (ids[0], v)]  # one hub
        g.add_edges_flat(flat)
        assert same_bits(g.pagerank(max_iter=3, tol=0.0), reference_pagerank(g, max_iter=3, tol=0.0))


# ---- triangle count ---------------------------------------------------------

class TestTriangleCount:
    @pytest.mark.parametrize("edges, nodes, expected", [
        ([], [], 0),
        ([], [1, 2, 3], 0),
        ([(1, 2), (2, 3), (1, 3)], [], 1),
        ([(1, 2), (2, 3), (1, 3), (1, 1), (2, 2), (3, 3)], [], 1),
        (list(itertools.combinations(range(4), 2)), [], 4),
        (list(itertools.combinations(range(5), 2)), [], 10),
        ([(1, 2), (2, 3), (1, 3), (3, 4), (2, 4)], [], 2),
        ([(-5, 0), (0, 3), (3, -5)], [], 1),
        ([(i, i + 1) for i in range(20)], [], 0),
        ([(0, i) for i in range(1, 30)] + [(0, 0)], [], 0),
    ], ids=["empty", "no-edges", "triangle", "self-loops", "K4", "K5", "shared-edge",
            "signed-ids", "path", "star"])
    def test_known_counts(self, edges, nodes, expected):
        assert graph(edges, nodes).triangle_count() == expected

    @pytest.mark.parametrize("seed", range(15))
    def test_matches_brute_force(self, seed):
        g = random_small_graph(random.Random(1000 + seed))
        assert g.triangle_count() == reference_triangles(g)

    def test_skewed_graph_matches_brute_force(self):
        # A few hubs adjacent to most nodes, plus random edges among the rest.
        rng = random.Random(5)
        edges = [(h, v) for h in range(5) for v in range(5, 2000) if rng.random() < 0.7]
        edges += [(rng.randrange(2000), rng.randrange(2000)) for _ in range(6000)]
        g = graph(edges)
        assert g.triangle_count() == reference_triangles(g)


# ---- the snapshot -----------------------------------------------------------

class TestSnapshotLifecycle:
    def test_rebuilt_after_readding_a_node(self):
        g = graph([(1, 2), (2, 3), (3, 1), (3, -4)])
        first, triangles = g.pagerank(), g.triangle_count()
        g.add_node(2)
        assert same_bits(g.pagerank(), first)
        assert g.triangle_count() == triangles

    @pytest.mark.parametrize("grow", [
        lambda g: g.add_edge(3, 5),
        lambda g: g.add_edges_from([(1, 5), (3, 5)]),
        lambda g: g.add_edges_flat([1, 5, 3, 5]),
    ])
    def test_mutation_is_seen(self, grow):
        g = graph([(1, 2), (2, 3), (3, 1)])
        assert g.triangle_count() == 1
        grow(g)
        assert g.triangle_count() == reference_triangles(g)
        assert same_bits(g.pagerank(), reference_pagerank(g))
        assert [u for u, _ in g.pagerank()] == g.nodes()

    @pytest.mark.skipif(UNDER_SANITIZER, reason="the sanitizer reserves far more address space than the limit")
    @pytest.mark.parametrize("prepare, grow", [
        ("flat = list(range(10**6, 10**6 + 2 * 1_000_000))", "g.add_edges_flat(flat)"),
        ("", "g.build_random(2**40, 1_000_000, 3)"),
    ])
    def test_memory_error_part_way_leaves_no_stale_snapshot(self, prepare, grow):
        # The address-space limit is set a little above what the process
        # maps already, so the call runs out of memory after some insertions
        # (the map's next doubling does not fit). Whatever it inserted stays,
        # and the analytics must answer for the graph as it now is.
        out = run_python(f"""
            import math, resource
            from arborvane._accel import IntGraphCore
            g = IntGraphCore()
            g.add_edges_from([(1, 2), (2, 3), (3, 1), (3, 4)])
            assert g.triangle_count() == 1 and len(g.pagerank()) == 4
            def mapped():
                with open("/proc/self/statm") as f:
                    return int(f.read().split()[0]) * resource.getpagesize()
            {prepare}
            hard = resource.getrlimit(resource.RLIMIT_AS)[1]
            resource.setrlimit(resource.RLIMIT_AS, (mapped() + 100 * 2**20, hard))
            try:
                {grow}
            except MemoryError:
                pass
            else:
                raise SystemExit("no MemoryError")
            finally:
                resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
            assert 4 < len(g) and 4 < g.number_of_edges()
            fresh = IntGraphCore()
            fresh.add_nodes_from(g.nodes())  # an edge's first end may be in alone
            fresh.add_edges_from(g.edges())
            assert g.triangle_count() == fresh.triangle_count() == 1
            scores, expected = dict(g.pagerank(max_iter=5)), dict(fresh.pagerank(max_iter=5))
            assert scores.keys() == expected.keys() == set(g.nodes())
            assert all(math.isclose(scores[u], expected[u], rel_tol=1e-9) for u in scores)
            print(g.number_of_edges())
        """)
        assert int(out) > 4

    def test_node_added_to_analysed_graph_appears(self):
        g = graph([(1, 2)])
        g.pagerank()
        g.add_node(10)
        assert dict(g.pagerank())[10] == pytest.approx(0.15 / 3)
