"""arborvane.set_num_threads and get_num_threads: the count the next
parallel call uses, the same results for every count, and a pool resized
between calls while other threads keep calling."""
import os
import threading

import pytest

import arborvane
from arborvane import IntGraphCore
from conftest import run_python

np = pytest.importorskip("numpy")


@pytest.fixture(autouse=True)
def keep_thread_count():
    before = arborvane.get_num_threads()
    yield
    arborvane.set_num_threads(before)


@pytest.fixture(scope="module")
def graph():
    g = IntGraphCore()
    g.build_random(30_000, 150_000, 11)  # enough work for every thread to get chunks
    return g


def results(g):
    """The bytes of a few parallel analytics."""
    _, ranks = arborvane.pagerank_array(g, tol=1e-12)
    _, between = arborvane.betweenness_centrality(g, k=48, seed=5)
    _, local = arborvane.clustering(g)
    return ranks.tobytes(), between.tobytes(), local.tobytes()


def test_results_are_the_same_bits_for_1_2_and_5_threads(graph):
    seen = []
    for n in (1, 2, 5):
        arborvane.set_num_threads(n)
        assert arborvane.get_num_threads() == n
        seen.append(results(graph))
    assert seen[0] == seen[1] == seen[2]


@pytest.mark.parametrize("n, error", [(-1, ValueError), (1025, ValueError), (2**70, ValueError),
                                      ("2", TypeError), (2.0, TypeError), (None, TypeError)])
def test_bad_counts_are_refused_and_change_nothing(n, error):
    arborvane.set_num_threads(3)
    with pytest.raises(error, match=r"^n must be"):
        arborvane.set_num_threads(n)
    assert arborvane.get_num_threads() == 3


def test_environment_is_the_default_and_zero_means_every_cpu():
    # RAYON_NUM_THREADS=0 and set_num_threads(0) agree; asking starts no pool.
    out = run_python("""
        import arborvane
        default = arborvane.get_num_threads()
        arborvane.set_num_threads(4)
        four = arborvane.get_num_threads()
        arborvane.set_num_threads(0)
        print(default, four, arborvane.get_num_threads())
    """, {"RAYON_NUM_THREADS": "0"})
    default, four, every_cpu = map(int, out.split())
    assert (four, every_cpu) == (4, default)
    out = run_python("import arborvane; print(arborvane.get_num_threads())", {"RAYON_NUM_THREADS": "3"})
    assert out.split() == ["3"]


@pytest.mark.skipif(not os.path.isdir("/proc/self/task"), reason="counts threads in /proc")
def test_pool_grows_at_once_and_shrinks_between_calls():
    out = run_python("""
        import os, time
        import arborvane
        from arborvane import IntGraphCore
        g = IntGraphCore()
        g.add_edge(1, 2)
        def workers():
            return len(os.listdir("/proc/self/task")) - base
        base = len(os.listdir("/proc/self/task"))
        arborvane.set_num_threads(1)
        g.has_edges([(1, 2)] * 10)  # the pool starts, with no worker
        counts = [workers()]
        for n in (6, 2, 1):
            arborvane.set_num_threads(n)
            g.has_edges([(1, 2)] * 10)
            deadline = time.monotonic() + 5  # surplus workers leave on their own
            while workers() != (n if n > 1 else 0) and time.monotonic() < deadline:
                time.sleep(0.01)
            counts.append(workers())
        print(*counts)
    """, {"RAYON_NUM_THREADS": "3"})
    assert out.split() == ["0", "6", "2", "0"]


def test_resizing_while_other_threads_run_parallel_calls():
    # Each caller its own graph: pagerank borrows its graph exclusively.
    def build():
        g = IntGraphCore()
        g.build_random(20_000, 100_000, 3)
        return g

    arborvane.set_num_threads(1)
    expected = arborvane.pagerank_array(build(), tol=1e-12)[1].tobytes()
    stop = threading.Event()
    outcomes = []

    def caller(g):
        try:
            while not stop.is_set():
                outcomes.append(arborvane.pagerank_array(g, tol=1e-12)[1].tobytes() == expected)
        except BaseException as exc:  # reported below, not lost in the thread
            outcomes.append(exc)

    callers = [threading.Thread(target=caller, args=(build(),)) for _ in range(3)]
    for t in callers:
        t.start()
    try:
        for n in (4, 1, 7, 2, 0, 3, 1, 5) * 3:
            arborvane.set_num_threads(n)
            threading.Event().wait(0.01)
    finally:
        stop.set()
        for t in callers:
            t.join(60)
    assert not any(t.is_alive() for t in callers)
    assert outcomes and all(outcome is True for outcome in outcomes), outcomes[-1]
