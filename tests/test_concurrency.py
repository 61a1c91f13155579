"""Several Python threads using the module at once: private graphs, one
shared graph read by everyone, and borrow conflicts between threads and by
re-entry."""

import sys
import threading
import time

import pytest

from arborvane._accel import IntGraphCore

THREADS = 8
ROUNDS = 4


@pytest.fixture(autouse=True)
def fast_switching():
    # Switch threads as often as the interpreter allows, so calls interleave.
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def run_threads(target, count=THREADS):
    """Starts count threads on target(index) together; re-raises the first
    failure and returns their results in index order."""
    barrier = threading.Barrier(count)
    results, errors = [None] * count, []

    def body(i):
        try:
            barrier.wait()
            results[i] = target(i)
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
        assert not t.is_alive(), "thread did not finish"
    if errors:
        raise errors[0]
    return results


def private_work(seed):
    """Builds one graph and runs every kind of call on it."""
    g = IntGraphCore()
    g.build_random(300, 1200, seed)
    g.add_edges_from([(seed, 1000 + k) for k in range(20)])
    g.add_nodes_from(range(2000, 2010))
    pairs = [(u, v) for u in range(40) for v in range(40)]
    return (g.nodes(), g.edges(), g.pagerank(), g.triangle_count(), g.has_edges(pairs),
            g.connected_component_sizes(), g.shortest_path_length(0, 299),
            g.subgraph_edge_count(list(range(100))))


def shared_queries(g, i):
    pairs = [((i * 7 + k) % 500, (k * 13) % 500) for k in range(3000)]
    return (g.nodes(), g.edges(), g.edges_flat(), g.degree_sequence(), g.has_edges(pairs),
            [g.neighbors(n) for n in range(0, 500, 25)], g.connected_component_sizes(),
            g.shortest_path_length(i, 499 - i), g.subgraph_edge_count(range(i, 250 + i)),
            len(g), i in g, repr(g))


def test_threads_on_private_and_shared_graphs():
    shared = IntGraphCore()
    shared.build_random(500, 4000, 7)
    shared_before = (shared.nodes(), shared.edges())
    expected_private = [private_work(1 + i % 3) for i in range(3)]
    expected_shared = [shared_queries(shared, i) for i in range(THREADS)]

    def work(i):
        out = []
        for _ in range(ROUNDS):
            out.append(private_work(1 + i % 3))
            out.append(shared_queries(shared, i))
        return out

    for i, rounds in enumerate(run_threads(work)):
        for r in range(ROUNDS):
            assert rounds[2 * r] == expected_private[i % 3]
            assert rounds[2 * r + 1] == expected_shared[i]
    assert (shared.nodes(), shared.edges()) == shared_before


def test_threads_running_parallel_operations_at_once():
    # Each thread drives the worker pool with its own graph; results must be
    # the same as those computed alone.
    graphs = []
    for seed in range(THREADS):
        g = IntGraphCore()
        g.build_random(2000, 8000, seed + 11)
        graphs.append(g)
    pairs = [(u, (u * 31) % 2000) for u in range(20000)]
    expected = [(g.pagerank(), g.triangle_count(), g.has_edges(pairs)) for g in graphs]

    def work(i):
        g = graphs[i]
        return [(g.pagerank(), g.triangle_count(), g.has_edges(pairs)) for _ in range(3)]

    for i, results in enumerate(run_threads(work)):
        assert results == [expected[i]] * 3


class SlowId:
    """An id whose conversion pauses (releasing the interpreter lock) until
    told to go on, so that the call converting it holds its borrow while
    other threads run."""

    def __init__(self, value):
        self.value = value
        self.entered = threading.Event()
        self.release = threading.Event()

    def __index__(self):
        self.entered.set()
        assert self.release.wait(30)
        return self.value


def run_while_converting(call, slow, other):
    """Runs call (which converts slow) on a thread and other() on this one
    while the conversion is paused; returns (call's result or error, other's
    result or error)."""
    outcome = {}

    def body():
        try:
            outcome["call"] = call()
        except BaseException as exc:  # noqa: BLE001
            outcome["call"] = exc

    t = threading.Thread(target=body)
    t.start()
    assert slow.entered.wait(30)
    try:
        seen = other()
    except BaseException as exc:  # noqa: BLE001
        seen = exc
    slow.release.set()
    t.join(30)
    assert not t.is_alive()
    return outcome["call"], seen


def test_mutation_from_another_thread_during_a_query_is_refused():
    g = IntGraphCore()
    g.add_edges_from([(1, 2), (2, 3)])
    slow = SlowId(2)
    seen = []

    def other():
        seen.append(g.nodes())  # queries may overlap a query
        seen.append(g.has_node(3))
        for mutate in (lambda: g.add_node(9), lambda: g.add_edges_from([(4, 5)]),
                       lambda: g.triangle_count(), lambda: g.pagerank()):
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                mutate()
        return "done"

    result, other_result = run_while_converting(lambda: g.has_edges([(1, slow)]), slow, other)
    assert other_result == "done"
    assert result == [True]
    assert seen == [g.nodes(), True]
    assert g.number_of_nodes() == 3 and g.number_of_edges() == 2


def test_calls_from_another_thread_during_a_mutation_are_refused():
    g = IntGraphCore()
    g.add_edge(1, 2)
    slow = SlowId(7)

    def other():
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            g.nodes()
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            len(g)
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            g.add_node(8)
        return "done"

    result, other_result = run_while_converting(lambda: g.add_nodes_from([5, slow]), slow, other)
    assert other_result == "done"
    assert result is None
    assert sorted(g.nodes()) == [1, 2, 5, 7]
    assert g.edges() == [(1, 2)]


@pytest.mark.parametrize("query", [
    lambda g, x: g.has_node(x),
    lambda g, x: g.has_edges([(1, x)]),
    lambda g, x: g.subgraph_edge_count([1, x]),
    lambda g, x: g.shortest_path_length(1, x),
    lambda g, x: x in g,
])
@pytest.mark.parametrize("mutation", [
    lambda g: g.add_node(100),
    lambda g: g.add_edge(100, 101),
    lambda g: g.add_edges_flat([100, 101]),
    lambda g: g.build_random(10, 1),
    lambda g: g.pagerank(),
    lambda g: g.triangle_count(),
])
def test_mutation_from_inside_a_query_is_refused(query, mutation):
    g = IntGraphCore()
    g.add_edges_from([(1, 2), (2, 3), (3, 1)])
    g.pagerank()  # a cached snapshot must survive as well
    before = (g.nodes(), g.edges(), g.degree_sequence(), g.pagerank())
    errors = []

    class Mutating:
        def __index__(self):
            try:
                mutation(g)
            except RuntimeError as exc:
                errors.append(str(exc))
                raise
            return 2

    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        query(g, Mutating())
    assert errors == ["Already borrowed"]
    assert (g.nodes(), g.edges(), g.degree_sequence(), g.pagerank()) == before
    # The borrow was released: the graph takes mutations again.
    g.add_edge(1, 4)
    assert g.number_of_edges() == 4
