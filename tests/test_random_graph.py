"""build_random: the seeded pair sequence, the stop rule, errors and limits."""


import pytest

from conftest import snapshot
from arborvane._accel import IntGraphCore

MASK = (1 << 64) - 1


def xorshift(seed):
    x = seed or 1
    while True:
        x ^= (x << 13) & MASK
        x ^= x >> 7
        x ^= (x << 17) & MASK
        yield x


def signed(u):
    return u - (1 << 64) if u >= 1 << 63 else u


def reference(edges, n, m, seed=42):
    """Plays the generator on a set of frozenset edges; returns the drawn
    pairs as (u, v, outcome) with outcome 'new', 'old' or 'loop'."""
    outputs = xorshift(seed)
    drawn, made = [], 0
    while made < m:
        u = signed(next(outputs) % (n & MASK))
        v = signed(next(outputs) % (n & MASK))
        if u == v:
            drawn.append((u, v, "loop"))
            continue
        e = frozenset((u, v))
        if e in edges:
            drawn.append((u, v, "old"))
        else:
            edges.add(e)
            made += 1
            drawn.append((u, v, "new"))
    return drawn


def edge_set(g):
    return {frozenset(e) for e in g.edges()}


def panic(call):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value).__name__ == "PanicException"
    return str(info.value)


class TestSequences:
    def test_generator_outputs(self):
        outputs = xorshift(42)
        assert [next(outputs) for _ in range(3)] == [
            45454805674, 11532217803599905471, 10021416941527320954]

    def test_ten_ids_then_the_same_call_again(self, g):
        g.build_random(10, 5)
        expected = [(4, 1), (4, 6), (2, 7), (5, 4), (6, 7)]
        assert edge_set(g) == {frozenset(p) for p in expected}
        assert all(g.has_edge(u, v) for u, v in expected)
        assert sorted(g.nodes()) == [1, 2, 4, 5, 6, 7]
        assert g.number_of_edges() == 5

        g.build_random(10, 5)
        assert g.number_of_edges() == 10
        assert sorted(g.nodes()) == [1, 2, 4, 5, 6, 7, 8, 9]
        for u, v in [(7, 8), (5, 1), (1, 2), (9, 4), (6, 2)]:
            assert g.has_edge(u, v)
        assert not g.has_edge(3, 3)

    def test_reference_agrees_with_listed_pairs(self):
        assert [(u, v) for u, v, _ in reference(set(), 10, 5)] == [(4, 1), (4, 6), (2, 7), (5, 4), (6, 7)]
        # The repeated call sees the first five again, none new, then goes on.
        again = reference({frozenset(p) for p in [(4, 1), (4, 6), (2, 7), (5, 4), (6, 7)]}, 10, 5)
        assert [(u, v, o) for u, v, o in again] == [
            (4, 1, "old"), (4, 6, "old"), (2, 7, "old"), (5, 4, "old"), (6, 7, "old"),
            (7, 8, "new"), (3, 3, "loop"), (5, 1, "new"), (2, 7, "old"), (1, 2, "new"),
            (9, 4, "new"), (6, 2, "new")]

    @pytest.mark.parametrize("n, m, seed, pairs", [
        (100, 5, 42, [(74, 71), (54, 36), (62, 27), (75, 14), (36, 57)]),
        (10, 5, 0, [(1, 5), (7, 5), (3, 9), (1, 3), (9, 8)]),
        (10, 5, 1, [(1, 5), (7, 5), (3, 9), (1, 3), (9, 8)]),
        (2, 1, 42, [(0, 1)]),
    ])
    def test_listed_graphs(self, g, n, m, seed, pairs):
        g.build_random(n, m, seed)
        assert edge_set(g) == {frozenset(p) for p in pairs}
        assert sorted(g.nodes()) == sorted({x for p in pairs for x in p})

    def test_complete_graph_on_four_ids(self, g):
        assert len(reference(set(), 4, 6)) == 14
        g.build_random(4, 6)
        assert edge_set(g) == {frozenset((a, b)) for a in range(4) for b in range(a + 1, 4)}

    @pytest.mark.parametrize("n", [3, 7, 1000, 10**9 + 7, 2**32 + 1, 10**18 + 9, 2**63 - 1, 2**62])
    def test_reference_on_prepared_graphs(self, n):
        # Existing edges inside and outside the id range, a self-loop and a
        # negative id: none may change the draws, only which pairs count.
        for seed in (42, 0, 7, MASK):
            g = IntGraphCore()
            g.add_edges_from([(0, 1), (1, 1), (-3, 2), (-7, 0), (n + 1 if n < 2**62 else 5, 4)])
            edges = edge_set(g)
            m = min(25, n * (n - 1) // 2 - 1)
            reference(edges, n, m, seed)
            g.build_random(n, m, seed)
            assert edge_set(g) == edges
            assert g.number_of_edges() == 5 + m

    def test_negative_n_on_a_graph_with_nodes(self, g):
        # Draws are remainders modulo 2**64 + n, read back as signed ids.
        g.add_node(0)
        g.build_random(-5, 20, 3)
        edges = set()
        reference(edges, -5, 20, 3)
        assert edge_set(g) == edges
        assert any(x < 0 for e in edges for x in e)


    def test_cached_snapshot_is_discarded(self, g):
        g.add_edges_from([(0, 1), (1, 2)])
        assert g.triangle_count() == 0
        g.build_random(4, 4)  # 2 of the 4 free pairs left: a triangle is certain
        expected = sum(1 for a, b, c in [(0, 1, 2), (0, 1, 3), (0, 2, 3), (1, 2, 3)]
                       if g.has_edge(a, b) and g.has_edge(b, c) and g.has_edge(a, c))
        assert expected > 0
        assert g.triangle_count() == expected


class TestErrors:
    def test_m_zero_changes_nothing(self, g):
        g.add_edge(1, 2)
        before = snapshot(g)
        g.build_random(10, 0)
        g.build_random(0, 0)
        g.build_random(-4, 0)  # the graph holds nodes: no sizing step
        assert snapshot(g) == before
        IntGraphCore().build_random(0, 0)

    def test_zero_ids(self, g):
        g.add_edge(3, 4)
        before = snapshot(g)
        assert panic(lambda: g.build_random(0, 1)) == "attempt to calculate the remainder with a divisor of zero"
        assert snapshot(g) == before
        assert panic(lambda: IntGraphCore().build_random(0, 1)) == (
            "attempt to calculate the remainder with a divisor of zero")

    @pytest.mark.parametrize("n, m", [(-1, 0), (-1, 5), (-(2**63), 1), (2**61, 0), (2**61, 1), (2**63 - 1, 3)])
    def test_room_that_cannot_be_represented(self, g, n, m):
        assert panic(lambda: g.build_random(n, m)) == "Hash table capacity overflow"
        assert len(g) == 0 and g.number_of_edges() == 0

    def test_sizing_only_applies_to_a_graph_without_nodes(self, g):
        g.add_node(-1)
        g.build_random(2**61, 3)
        assert g.number_of_edges() == 3


class TestImpossibleRequests:
    @pytest.mark.parametrize("prepare, n, m", [
        ([], 1, 1),
        ([], 2, 2),
        ([], 4, 7),
        ([(0, 1), (2, 3)], 4, 5),
        ([(0, 1), (1, 2), (0, 2)], 3, 1),
    ])
    def test_refused_up_front_and_unchanged(self, g, prepare, n, m):
        # Refused before drawing (a draw could never finish), so nothing changes.
        g.add_edges_from(prepare)
        before = snapshot(g)
        with pytest.raises(ValueError):
            g.build_random(n, m)
        assert snapshot(g) == before

    def test_edges_outside_the_range_do_not_count(self, g):
        # Self-loops, ids >= n and negative ids (huge when read unsigned)
        # take no pair among 0..3, even though they push edge_count up.
        g.add_edges_from([(0, 1), (0, 0), (2, 9), (-1, 3), (-1, -2), (3, 3)])
        g.build_random(4, 5)
        assert g.number_of_edges() == 11
        with pytest.raises(ValueError):
            g.build_random(4, 1)

    def test_one_id_with_no_request_succeeds(self, g):
        g.build_random(1, 0)
        assert len(g) == 0

    def test_huge_id_range_reserves_only_what_it_uses(self, g):
        g.build_random(10**12, 1000)
        assert g.number_of_edges() == 1000
        assert all(0 <= x < 10**12 for x in g.nodes())


def drawable_pairs(bits):
    """Unordered pairs of distinct ids below 2**bits that two consecutive
    outputs can give. The low `bits` bits of an output depend only on the low
    bits + 7 bits of the one before, so enumerating those covers every draw."""
    size = 1 << bits
    ordered = set()
    for x in range(1, 1 << (bits + 7)):
        y = x ^ ((x << 13) & MASK)
        y ^= y >> 7
        y ^= (y << 17) & MASK
        ordered.add((x % size, y % size))
    return {frozenset(p) for p in ordered if p[0] != p[1]}


class TestUndrawablePairs:
    """For n a multiple of 256 the generator never draws some pairs; asking
    for more edges than it can draw is refused up front instead of looping."""

    @pytest.mark.parametrize("bits, count", [(8, 24512), (10, 122816)])
    def test_every_drawable_pair_and_no_more(self, g, bits, count):
        pairs = drawable_pairs(bits)
        assert len(pairs) == count
        n = 1 << bits
        before = snapshot(g)
        with pytest.raises(ValueError, match=(
                rf"^build_random: cannot make {count + 1} new edges: of the {count} pairs of distinct ids "
                rf"below {n} that the generator can draw, only {count} are not joined yet$")):
            g.build_random(n, count + 1)
        assert snapshot(g) == before
        g.build_random(n, count)
        assert edge_set(g) == pairs
        with pytest.raises(ValueError, match="only 0 are not joined yet$"):
            g.build_random(n, 1)
        assert g.number_of_edges() == count

    @pytest.mark.parametrize("n, count", [(768, 220992), (1280, 614080)])
    def test_other_multiples_of_256_reach_the_whole_count(self, g, n, count):
        g.build_random(n, count)
        assert g.number_of_edges() == count
        with pytest.raises(ValueError, match=rf"of the {count} pairs .* only 0 are not joined yet$"):
            g.build_random(n, 1, 7)

    def test_only_joined_drawable_pairs_reduce_the_room(self, g):
        pairs = drawable_pairs(8)
        drawable = sorted(tuple(sorted(p)) for p in pairs)[:100]
        undrawable = [(u, v) for u in range(256) for v in range(u + 1, 256)
                      if frozenset((u, v)) not in pairs][:300]
        g.add_edges_from(drawable + undrawable + [(5, 5), (300, 1), (-1, 2)])
        g.triangle_count()
        before = snapshot(g)
        with pytest.raises(ValueError, match="only 24412 are not joined yet$"):
            g.build_random(256, 24413, 9)
        assert snapshot(g) == before
        g.build_random(256, 24412, 9)
        assert edge_set(g) >= pairs

    @pytest.mark.parametrize("n, count", [(65536, 8380352), (2**20, 134209472), (2**40, 140737488347072)])
    def test_large_ranges_are_counted_not_drawn(self, g, n, count):
        with pytest.raises(ValueError, match=rf"^build_random: cannot make {count + 1} new edges: of the {count} "):
            g.build_random(n, count + 1)
        assert len(g) == 0
