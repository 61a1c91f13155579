"""shortest_path_length, connected_component_sizes and subgraph_edge_count,
on small known graphs and against plain reference searches."""

import random
from collections import deque

import pytest

from arborvane._accel import IntGraphCore
from conftest import run_python
from graph_helpers import crafted, graph

INT64_MIN = -(2**63)


def adjacency_of(g):
    return {n: g.neighbors(n) for n in g.nodes()}


def ref_distance(adj, s, t):
    if s == t:
        return 0
    if s not in adj or t not in adj:
        return -1
    return ref_distances_from(adj, s).get(t, -1)


def ref_components(adj):
    """Sizes in the order a walk over the node list meets each component."""
    seen, sizes = set(), []
    for s in adj:
        if s in seen:
            continue
        seen.add(s)
        stack, size = [s], 0
        while stack:
            x = stack.pop()
            size += 1
            for w in adj[x]:
                if w not in seen:
                    seen.add(w)
                    stack.append(w)
        sizes.append(size)
    return sizes


def ref_induced(adj, ids):
    members = set(ids)
    return len({frozenset((u, w)) for u in members if u in adj for w in adj[u] if w in members})


def ref_distances_from(adj, s):
    dist, queue = {s: 0}, deque([s])
    while queue:
        x = queue.popleft()
        for w in adj[x]:
            if w not in dist:
                dist[w] = dist[x] + 1
                queue.append(w)
    return dist


def sparse_graph(rng, n, m, lo=-(10**12), hi=10**12, smallest=True):
    """n scattered ids (the smallest id among them unless told otherwise)
    joined by about m random edges: many components, long paths, enough
    nodes for the parallel scan."""
    ids = rng.sample(range(lo, hi), n - 1) + ([INT64_MIN] if smallest else [hi])
    rng.shuffle(ids)
    g = IntGraphCore()
    g.add_nodes_from(ids)
    g.add_edges_from([(rng.choice(ids), rng.choice(ids)) for _ in range(m)])
    return g, ids


def random_graph(rng):
    """Mixed ids (negatives, the smallest id, large ids), self-loops, isolated
    nodes and several components."""
    pool = [rng.randrange(-50, 50) for _ in range(60)] + [INT64_MIN, 2**63 - 1, 10**15]
    g = IntGraphCore()
    g.add_nodes_from(rng.sample(pool, 10))
    g.add_edges_from([(rng.choice(pool), rng.choice(pool)) for _ in range(rng.randrange(0, 90))])
    return g, pool


def with_snapshot(build):
    """`build` whose graphs come back with a cached CSR snapshot, which
    shortest_path_length then searches instead of the adjacency map."""
    def built(*args, **kwargs):
        made = build(*args, **kwargs)
        g = made[0] if isinstance(made, tuple) else made
        g.pagerank(max_iter=0)
        return made
    return built


class TestShortestPath:
    @pytest.fixture(autouse=True, params=["map", "snapshot"])
    def view(self, request, monkeypatch):
        """Every case runs on the adjacency map and on a cached snapshot."""
        if request.param == "snapshot":
            module = __import__(__name__)
            for name in ("graph", "random_graph", "sparse_graph"):
                monkeypatch.setattr(module, name, with_snapshot(getattr(module, name)))
        return request.param

    def test_ids_that_collide_in_the_map(self):
        # Ids sharing one home slot fill long probe runs and the map's
        # overflow entries, which come last in its order: both ends of a
        # query must still be found, in the map and in the snapshot.
        ids = crafted(3000)
        rng = random.Random(5)
        edges = [(ids[i], ids[i + 1]) for i in range(0, 2999)] + [
            (rng.choice(ids), rng.choice(ids)) for _ in range(300)]
        g = graph(edges + [(INT64_MIN, ids[0])])
        adj = adjacency_of(g)
        for s in [ids[0], ids[-1], ids[1500], INT64_MIN]:
            dist = ref_distances_from(adj, s)
            for t in [ids[2999], ids[7], ids[2000], INT64_MIN, ids[0]]:
                assert g.shortest_path_length(s, t) == (0 if s == t else dist[t])

    def test_snapshot_is_not_used_after_a_mutation(self):
        g = graph([(1, 2), (2, 3), (3, 4), (4, 5)])
        assert g.shortest_path_length(1, 5) == 4
        g.add_edge(1, 5)
        assert g.shortest_path_length(1, 5) == 1
        assert g.shortest_path_length(2, 5) == 2
        g.add_node(9)
        assert g.shortest_path_length(9, 1) == -1

    def test_listed_cases(self):
        path = graph([(1, 2), (2, 3), (3, 4)])
        assert path.shortest_path_length(1, 4) == 3
        assert path.shortest_path_length(4, 1) == 3
        assert path.shortest_path_length(2, 3) == 1
        g = graph([(1, 2), (2, 3), (3, 1), (3, 4), (4, 5)])
        assert g.shortest_path_length(1, 5) == 3
        assert g.shortest_path_length(5, 2) == 3

    def test_same_absent_and_unreachable(self):
        g = graph([(1, 2), (10, 11)], nodes=[7])
        assert g.shortest_path_length(99, 99) == 0
        assert g.shortest_path_length(7, 7) == 0
        assert g.shortest_path_length(1, 99) == -1
        assert g.shortest_path_length(99, 1) == -1
        assert g.shortest_path_length(1, 10) == -1
        assert g.shortest_path_length(7, 1) == -1
        assert IntGraphCore().shortest_path_length(0, 1) == -1

    def test_negative_ids_and_self_loops(self):
        g = graph([(-5, -5), (-5, INT64_MIN), (INT64_MIN, INT64_MIN), (INT64_MIN, 3), (3, 3)])
        assert g.shortest_path_length(-5, 3) == 2
        assert g.shortest_path_length(3, -5) == 2
        assert g.shortest_path_length(INT64_MIN, -5) == 1
        assert g.shortest_path_length(-5, -5) == 0

    def test_against_reference(self):
        rng = random.Random(5)
        for _ in range(150):
            g, pool = random_graph(rng)
            adj = adjacency_of(g)
            for _ in range(15):
                s, t = rng.choice(pool), rng.choice(pool)
                assert g.shortest_path_length(s, t) == ref_distance(adj, s, t)

    def test_paths_and_cycles_of_every_length(self):
        # Both ends of the search meet in the middle: odd and even lengths,
        # and on a cycle the shorter way round.
        for n in range(2, 14):
            path = graph([(i, i + 1) for i in range(n - 1)])
            cycle = graph([(i, (i + 1) % n) for i in range(n)])
            for t in range(n):
                assert path.shortest_path_length(0, t) == t
                assert path.shortest_path_length(t, 0) == t
                assert cycle.shortest_path_length(0, t) == min(t, n - t)

    def test_uneven_ends(self):
        # A hub with many leaves at one end of a long path, a lone edge
        # elsewhere: the search extends the cheaper side, then the other.
        edges = [(0, leaf) for leaf in range(1000, 1400)] + [(i, i + 1) for i in range(0, 30)]
        g = graph(edges + [(-1, -2)], nodes=[-9])
        assert g.shortest_path_length(1000, 30) == 31
        assert g.shortest_path_length(30, 1399) == 31
        assert g.shortest_path_length(1000, 1001) == 2
        for s, t in [(1000, -1), (-1, 1000), (30, -9), (-9, 30), (-2, -9)]:
            assert g.shortest_path_length(s, t) == -1

    def test_sparse_graph_against_reference(self):
        rng = random.Random(17)
        for n, m in [(4000, 3000), (4000, 4400), (3000, 9000)]:
            g, ids = sparse_graph(rng, n, m)
            adj = adjacency_of(g)
            for s in rng.sample(ids, 12) + [INT64_MIN]:
                dist = ref_distances_from(adj, s)
                for t in rng.sample(ids, 40) + [INT64_MIN, 5]:
                    expected = 0 if s == t else dist.get(t, -1)
                    assert g.shortest_path_length(s, t) == expected
                    assert g.shortest_path_length(t, s) == expected


class TestComponents:
    def test_listed_cases(self):
        assert IntGraphCore().connected_component_sizes() == []
        assert graph(nodes=[1, 2, 3]).connected_component_sizes() == [1, 1, 1]
        g = graph([(1, 2), (2, 3), (10, 11)], nodes=[7])
        sizes = g.connected_component_sizes()
        assert sorted(sizes) == [1, 2, 3]
        assert sizes == ref_components(adjacency_of(g))
        assert g.connected_component_sizes() == sizes

    def test_self_loops_and_smallest_id(self):
        g = graph([(4, 4), (INT64_MIN, INT64_MIN), (INT64_MIN, -1), (5, 5), (5, 6)])
        assert sorted(g.connected_component_sizes()) == [1, 2, 2]
        assert g.connected_component_sizes() == ref_components(adjacency_of(g))

    def test_against_reference_in_discovery_order(self):
        rng = random.Random(11)
        for _ in range(200):
            g, _ = random_graph(rng)
            assert g.connected_component_sizes() == ref_components(adjacency_of(g))

    def test_same_order_with_a_cached_snapshot(self):
        # After an analytic has built the snapshot, small graphs are searched
        # on it; the order must stay that of the map, the smallest id's
        # out-of-line entry first.
        rng = random.Random(29)
        for _ in range(60):
            g, ids = random_graph(rng)
            if rng.random() < 0.5:
                g.add_edge(INT64_MIN, rng.choice(ids) if ids else 0)
            expected = ref_components(adjacency_of(g))
            g.triangle_count()
            assert g.connected_component_sizes() == expected
            g.add_node(10**16)  # drops the snapshot
            assert g.connected_component_sizes() == ref_components(adjacency_of(g))

    def test_generated_graph(self):
        g = IntGraphCore()
        g.build_random(3000, 2000, 9)
        sizes = g.connected_component_sizes()
        assert sizes == ref_components(adjacency_of(g))
        assert sum(sizes) == len(g)

    def test_many_components_across_the_scan(self):
        # Enough nodes for the partition by disjoint sets, its scan split
        # between threads; components spread over the whole map, the
        # smallest id alone or in one of them.
        rng = random.Random(23)
        for n, m, link_smallest in [(30000, 12000, False), (40000, 20000, True), (26000, 50000, True),
                                    (20000, 9000, True), (30000, 150000, True), (30000, 150000, False)]:
            g, ids = sparse_graph(rng, n, m, smallest=m < 100000)
            if link_smallest:
                # Last in the sets of its neighbours.
                g.add_edges_from([(rng.choice(ids), INT64_MIN) for _ in range(3)])
            # Small components and lone nodes after a giant one, some of
            # them joined to it later: late entries of a giant node's set.
            g.add_edges_from([(10**13 + i, 10**13 + i + 1) for i in range(0, 3000, 3)])
            g.add_nodes_from(range(-10**13, -10**13 + 500))
            g.add_edges_from([(rng.choice(ids), 10**13 + i) for i in range(0, 300, 3)])
            sizes = g.connected_component_sizes()
            assert sizes == ref_components(adjacency_of(g))
            assert g.connected_component_sizes() == sizes

    def test_same_order_for_any_thread_count(self):
        code = """
            import random
            from arborvane._accel import IntGraphCore
            rng = random.Random(31)
            g = IntGraphCore()
            g.add_nodes_from(rng.sample(range(-10**9, 10**9), 60000))
            g.add_edges_from([(rng.randrange(-10**9, 10**9), rng.randrange(-10**9, 10**9)) for _ in range(20000)])
            nodes = g.nodes()
            g.add_edges_from([(rng.choice(nodes), rng.choice(nodes)) for _ in range(50000)])
            print(g.connected_component_sizes())
        """
        results = {threads: run_python(code, {"RAYON_NUM_THREADS": str(threads)}) for threads in (1, 2, 5)}
        assert results[1] == results[2] == results[5]


class TestSubgraphEdgeCount:
    @pytest.mark.parametrize("ids, expected", [
        ([], 0), ([1, 2, 3], 3), ([1, 2, 3, 4], 4), ([1, 4], 0), ([1, 1, 2, 2], 1), ([1, 2, 99], 1),
    ])
    def test_listed_cases(self, ids, expected):
        g = graph([(1, 2), (2, 3), (3, 1), (3, 4)])
        assert g.subgraph_edge_count(ids) == expected

    def test_self_loops_negative_ids_and_empty_graph(self):
        g = graph([(5, 5), (5, 6), (-5, 3), (INT64_MIN, INT64_MIN), (INT64_MIN, -5)])
        assert g.subgraph_edge_count([5]) == 1
        assert g.subgraph_edge_count([5, 6]) == 2
        assert g.subgraph_edge_count([-5, 3]) == 1
        assert g.subgraph_edge_count([INT64_MIN, -5, 3]) == 3
        assert IntGraphCore().subgraph_edge_count([1, 2, 3]) == 0

    def test_against_reference(self):
        rng = random.Random(3)
        for _ in range(150):
            g, pool = random_graph(rng)
            adj = adjacency_of(g)
            assert g.subgraph_edge_count(g.nodes()) == g.number_of_edges()
            for _ in range(8):
                ids = [rng.choice(pool) for _ in range(rng.randrange(0, 40))]
                assert g.subgraph_edge_count(ids) == ref_induced(adj, ids)
