"""The worker pool: its size, results independent of the thread count, and
fork safety. Each case runs in a fresh interpreter, since the pool is sized
once per process."""

import os
import sys

import pytest

from conftest import run_python

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")

# A random graph of 200,000 edges (repeats dropped by the loader), and
# 100,000 pairs of which about half are edges.
WORKLOAD = """
import hashlib, random
from arborvane._accel import IntGraphCore

rng = random.Random(2024)
flat = [rng.randrange(-30000, 30000) for _ in range(400000)]
g = IntGraphCore()
g.add_edges_flat(flat)
pairs = [(flat[2 * i], flat[2 * i + 1]) if i % 2 else (rng.randrange(-30000, 30000), flat[i])
         for i in range(100000)]

def digest(values):
    return hashlib.sha256(repr(values).encode()).hexdigest()

ranks = g.pagerank(tol=1e-12)
answers = g.has_edges(pairs)
assert answers == [g.has_edge(u, v) for u, v in pairs]
print(digest([(u, x.hex()) for u, x in ranks]), g.triangle_count(), digest(answers), sum(answers))
"""


def pool_threads(env, before_pool=""):
    """Threads the pool starts, counted from /proc after a parallel loop.
    Checks on the way that the size the pool reports (what `arborvane bench
    --json` shows) is the number it started."""
    out = run_python(f"""
        import os
        from arborvane._accel import IntGraphCore
        from arborvane._native import arrays
        {before_pool}
        before = len(os.listdir('/proc/self/task'))
        g = IntGraphCore()
        g.add_edge(1, 2)
        g.has_edges([(1, 2)] * 10)
        print(len(os.listdir('/proc/self/task')) - before, arrays.worker_threads())
    """, env)
    started, predicted = map(int, out.split())
    # A pool of one runs every loop on the calling thread: no worker.
    assert started == (predicted if predicted > 1 else 0), (env, started, predicted)
    return started


def cpu_quota_present():
    for path in ("/sys/fs/cgroup/cpu.max", "/sys/fs/cgroup/cpu/cpu.cfs_quota_us",
                 "/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us"):
        try:
            with open(path) as f:
                quota = f.read().split()[0]
        except OSError:
            continue
        if quota not in ("max", "-1"):
            return True
    return False


def clean_env(**values):
    env = {"RAYON_NUM_THREADS": "", "RAYON_RS_NUM_CPUS": ""}
    env.update(values)
    return env


class TestPoolSize:
    @pytest.mark.parametrize("env, expected", [
        (clean_env(RAYON_NUM_THREADS="3"), 3),
        (clean_env(RAYON_NUM_THREADS="+3"), 3),
        (clean_env(RAYON_NUM_THREADS="5", RAYON_RS_NUM_CPUS="2"), 5),
        (clean_env(RAYON_NUM_THREADS="x", RAYON_RS_NUM_CPUS="4"), 4),
        (clean_env(RAYON_NUM_THREADS=" 2", RAYON_RS_NUM_CPUS="6"), 6),
        (clean_env(RAYON_NUM_THREADS="-2", RAYON_RS_NUM_CPUS="3"), 3),
        (clean_env(RAYON_NUM_THREADS="1"), 0),  # a pool of one needs no worker
        (clean_env(RAYON_NUM_THREADS="3 ", RAYON_RS_NUM_CPUS="+4"), 4),
        (clean_env(RAYON_NUM_THREADS="++3", RAYON_RS_NUM_CPUS="4"), 4),
        (clean_env(RAYON_NUM_THREADS="\u0663", RAYON_RS_NUM_CPUS="4"), 4),  # not an ASCII digit
        (clean_env(RAYON_NUM_THREADS="9" * 20, RAYON_RS_NUM_CPUS="3"), 3),  # beyond 64 bits
        (clean_env(RAYON_NUM_THREADS="1500"), 1024),  # the cap
    ])
    def test_environment_sets_size(self, env, expected):
        assert pool_threads(env) == expected

    @pytest.mark.parametrize("env", [
        clean_env(),
        clean_env(RAYON_NUM_THREADS="0", RAYON_RS_NUM_CPUS="5"),
        clean_env(RAYON_RS_NUM_CPUS="0"),
    ])
    def test_default_is_available_cpus(self, env):
        if cpu_quota_present():
            pytest.skip("a cgroup CPU quota lowers the count")
        cpus = len(os.sched_getaffinity(0))
        assert pool_threads(env) == (cpus if cpus > 1 else 0)

    def test_default_follows_the_affinity_mask(self):
        one_cpu = "os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})"
        assert pool_threads(clean_env(), before_pool=one_cpu) == 0
        assert pool_threads(clean_env(RAYON_NUM_THREADS="3"), before_pool=one_cpu) == 3


# Over 2^20 nodes: PageRank takes its propagation-blocking path, whose bins
# are filled by source chunks on whichever thread claims them.
BLOCKED_WORKLOAD = """
import hashlib
from arborvane._accel import IntGraphCore

g = IntGraphCore()
g.build_random(1100000, 2200000, 5)
g.add_edges_flat([x for v in range(0, 1100000, 3) for x in (-1, v)] + [7, 7, -2, -2])
ranks = g.pagerank(max_iter=6, tol=0.0)
print(hashlib.sha256(repr([(u, x.hex()) for u, x in ranks]).encode()).hexdigest())
"""


class TestThreadCountIndependence:
    def test_blocked_pagerank_same_bits_for_1_2_and_7_threads(self):
        results = {run_python(BLOCKED_WORKLOAD, clean_env(RAYON_NUM_THREADS=str(t))) for t in (1, 2, 7)}
        assert len(results) == 1

    def test_same_results_for_1_2_and_7_threads(self):
        results = {run_python(WORKLOAD, clean_env(RAYON_NUM_THREADS=str(t))) for t in (1, 2, 7)}
        assert len(results) == 1
        _, triangles, _, present = results.pop().split()
        assert int(triangles) > 0 and 40000 < int(present) < 60000

    def test_same_results_across_processes(self):
        env = clean_env(RAYON_NUM_THREADS="2")
        assert run_python(WORKLOAD, env) == run_python(WORKLOAD, env)


class TestFork:
    CHILD = """
    import os, signal, sys, time
    from arborvane._accel import IntGraphCore

    g = IntGraphCore()
    g.add_edges_flat([i % 997 for i in range(1, 40001)] + [1, 2, 2, 3, 1, 3])
    pairs = [(i, i + 1) for i in range(5000)]
    expected = (g.pagerank(), g.triangle_count(), g.has_edges(pairs))

    pid = os.fork()
    if pid == 0:
        g.add_node(1)  # the child rebuilds the snapshot on its own pool
        ok = (g.pagerank(), g.triangle_count(), g.has_edges(pairs)) == expected
        os._exit(0 if ok else 3)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            print(os.waitstatus_to_exitcode(status))
            sys.exit(0)
        time.sleep(0.05)
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    print("hung")
    """

    @pytest.mark.parametrize("threads", ["1", "2", "7"])
    def test_child_runs_parallel_loops(self, threads):
        assert run_python(self.CHILD, clean_env(RAYON_NUM_THREADS=threads)).strip() == "0"
