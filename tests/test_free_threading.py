"""Threads that really overlap: on free-threaded interpreters calls run at
the same time (long native work runs detached from the interpreter), so
readers and writers hammering one graph meet; every call either succeeds or
is refused by the borrow rule, and nothing is lost or half done. With a
global lock the same tests run with less overlap."""

import gc
import random
import sys
import threading

import pytest

import arborvane
from arborvane import IntGraphCore
from test_concurrency import run_threads

FREE_THREADED = not getattr(sys, "_is_gil_enabled", lambda: True)()
REFUSALS = {"Already borrowed", "Already mutably borrowed"}


def refused(call):
    """Runs call(); True when the borrow rule refused it."""
    try:
        call()
    except RuntimeError as exc:
        assert str(exc) in REFUSALS, exc
        return True
    return False


def test_readers_and_writers_on_one_graph():
    g = IntGraphCore()
    g.build_random(3000, 12000, 7)
    base_edges = set(g.edges())
    writers, readers = 3, 3
    added = [set() for _ in range(writers)]
    counts = {"calls": 0, "refused": 0}
    lock = threading.Lock()

    def writer(i):
        rng = random.Random(i)
        for r in range(300):
            u = rng.randrange(5000)
            pairs = [(u, 10_000 * (i + 1) + r * 10 + k) for k in range(5)]
            call = (lambda: g.add_edges_from(pairs)) if r % 2 else (lambda: g.add_edge(*pairs[0]))
            if not refused(call):
                added[i].update(pairs if r % 2 else pairs[:1])
            with lock:
                counts["calls"] += 1

    def reader(i):
        n_refused = 0
        for r in range(60):
            for call in (g.pagerank, g.triangle_count, g.connected_component_sizes, g.edges,
                         lambda: g.has_edges([(1, 2), (3, 4)] * 100),
                         lambda: g.shortest_path_length(0, 2999), g.degree_sequence):
                n_refused += refused(call)
        with lock:
            counts["refused"] += n_refused
            counts["calls"] += 60 * 7

    run_threads(lambda i: writer(i) if i < writers else reader(i - writers), writers + readers)

    expected = base_edges | set().union(*added)
    normalised = {(min(u, v), max(u, v)) for u, v in expected}
    assert set(g.edges()) == normalised
    assert g.number_of_edges() == len(normalised)
    fresh = IntGraphCore()
    fresh.add_edges_from(sorted(normalised))
    assert sorted(fresh.nodes()) == sorted(g.nodes())
    assert fresh.triangle_count() == g.triangle_count()
    assert sorted(fresh.connected_component_sizes()) == sorted(g.connected_component_sizes())
    ours, theirs = dict(g.pagerank()), dict(fresh.pagerank())
    assert all(abs(ours[n] - theirs[n]) <= 1e-12 for n in ours)
    print(f"\n{counts['calls']} calls, {counts['refused']} refused by the borrow rule")


def test_threads_on_separate_graphs_share_the_pool():
    def work(seed):
        g = IntGraphCore()
        g.build_random(20000, 100000, seed)
        return g.pagerank(), g.triangle_count(), g.connected_component_sizes()

    together = run_threads(work, 6)
    assert together == [work(seed) for seed in range(6)]


@pytest.mark.skipif(not FREE_THREADED, reason="with a global lock a long call holds it by design")
def test_collector_runs_while_another_thread_is_in_a_long_call():
    g = IntGraphCore()
    g.build_random(300_000, 3_000_000, 1)
    g.pagerank(max_iter=1)
    inside = threading.Event()
    finished = threading.Event()

    def long_call():
        inside.set()
        g.pagerank(max_iter=200, tol=0.0)
        finished.set()

    worker = threading.Thread(target=long_call)
    worker.start()
    inside.wait()
    gc.collect()
    collected_during_call = not finished.is_set()
    worker.join()
    # The collector had to stop every attached thread; a detached one does
    # not hold it up, so it finished while the long call was still running.
    assert collected_during_call


def fingerprint(value):
    """A result as comparable bytes: arrays, tuples of them, a sparse matrix."""
    if isinstance(value, tuple):
        return tuple(fingerprint(v) for v in value)
    if hasattr(value, "indptr"):
        return value.indptr.tobytes() + value.indices.tobytes()
    return value.tobytes() if hasattr(value, "tobytes") else value


def file_bytes(write):
    def call(g, path):
        write(g, path)
        return path.read_bytes()
    return call


# Every arborvane function that only reads a graph, as call(g, path).
READERS = {
    "node_array": lambda g, _: arborvane.node_array(g),
    "degree_array": lambda g, _: arborvane.degree_array(g),
    "edge_array": lambda g, _: arborvane.edge_array(g),
    "pagerank_array": lambda g, _: arborvane.pagerank_array(g),
    "to_scipy_sparse": lambda g, _: arborvane.to_scipy_sparse(g),
    "save": file_bytes(arborvane.save),
    "write_edgelist": file_bytes(arborvane.write_edgelist),
    "component_labels": lambda g, _: arborvane.component_labels(g),
    "bfs_distances": lambda g, _: arborvane.bfs_distances(g, 0),
    "core_number": lambda g, _: arborvane.core_number(g),
    "clustering": lambda g, _: arborvane.clustering(g),
    "average_clustering": lambda g, _: arborvane.average_clustering(g),
    "transitivity": lambda g, _: arborvane.transitivity(g),
    "betweenness_centrality": lambda g, _: arborvane.betweenness_centrality(g, k=20, seed=1),
    "degree_centrality": lambda g, _: arborvane.degree_centrality(g),
}


@pytest.mark.parametrize("name", READERS)
def test_readers_share_a_graph(name, tmp_path):
    # Four threads read one graph at once, the snapshot not built yet: one
    # of them builds it while the others wait, then all read it together.
    if name == "to_scipy_sparse":
        pytest.importorskip("scipy")
    g = IntGraphCore()
    g.build_random(5000, 25000, 11)
    read = READERS[name]
    results = run_threads(lambda i: [fingerprint(read(g, tmp_path / f"{i}.{k}")) for k in range(5)], 4)
    assert all(result == results[0][0] for calls in results for result in calls)
