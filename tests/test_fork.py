"""A child made by fork() after the parent used the worker pool must be able
to run the parallel operations itself. Each scenario runs in its own
interpreter, so a child that hangs fails the test instead of hanging it."""

import os
import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork()")

# Shared by every scenario: a graph, its parallel results, and a helper that
# forks, runs child() there, and waits for it with a deadline.
PRELUDE = """
import os, sys, time, traceback
from arborvane._accel import IntGraphCore

def make_graph(seed):
    g = IntGraphCore()
    g.build_random(3000, 15000, seed)
    return g

PAIRS = [(u, (u * 7919) % 3000) for u in range(30000)]

def results(g):
    return g.pagerank(), g.triangle_count(), g.has_edges(PAIRS)

def fork_and_wait(child, deadline=30):
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            code = 0 if child() else 3
        except BaseException:
            traceback.print_exc()
        finally:
            sys.stdout.flush()
            sys.stderr.flush()
            os._exit(code)
    end = time.monotonic() + deadline
    while time.monotonic() < end:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            code = os.waitstatus_to_exitcode(status)
            assert code == 0, f"child exited with {code}"
            return
        time.sleep(0.01)
    os.kill(pid, 9)
    os.waitpid(pid, 0)
    raise AssertionError("child hung")
"""


def run_scenario(body, threads=None, timeout=120):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    env.pop("RAYON_NUM_THREADS", None)
    if threads is not None:
        env["RAYON_NUM_THREADS"] = str(threads)
    code = PRELUDE + textwrap.dedent(body) + "\nprint('scenario done')\n"
    try:
        done = subprocess.run([sys.executable, "-W", "ignore", "-c", code], env=env,
                              capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired as exc:
        pytest.fail(f"scenario hung: {exc.stderr}")
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stdout.strip().endswith("scenario done")


@pytest.mark.parametrize("threads", [None, 1, 2, 4])
def test_child_runs_parallel_operations_after_parent_did(threads):
    run_scenario("""
        g = make_graph(5)
        expected = results(g)

        def child():
            # The cached snapshot, a rebuilt one, and a graph of the child's own.
            same = results(g) == expected
            g.add_edge(0, 1)
            again = results(g)
            h = make_graph(5)
            return same and results(h) == expected and again == results(g)

        fork_and_wait(child)
        assert results(g) == expected  # the parent's pool still works
    """, threads)


def test_repeated_forks_right_after_parallel_work():
    # Forks while the workers may still be settling after a job.
    run_scenario("""
        g = make_graph(9)
        expected = results(g)
        for i in range(15):
            g.has_edges(PAIRS)
            fork_and_wait(lambda: results(g) == expected)
    """)


def test_grandchild():
    run_scenario("""
        g = make_graph(3)
        expected = results(g)

        def child():
            ok = results(g) == expected
            fork_and_wait(lambda: results(g) == expected)  # a fork of a fork
            return ok

        fork_and_wait(child)
    """)


def test_fork_before_the_pool_exists():
    # The child starts a pool of its own; the parent's starts later.
    run_scenario("""
        g = make_graph(4)
        g.pagerank(max_iter=0)  # builds the snapshot without a parallel loop
        fork_and_wait(lambda: len(results(g)[2]) == len(PAIRS))
        expected = results(g)
        fork_and_wait(lambda: results(g) == expected)
    """)


def test_multiprocessing_fork_pool():
    run_scenario("""
        import multiprocessing as mp

        def work(seed):
            return results(make_graph(seed))

        expected = [work(s) for s in (1, 2, 3, 4)]
        with mp.get_context("fork").Pool(2) as pool:
            got = pool.map_async(work, (1, 2, 3, 4)).get(60)
        assert got == expected
    """)
