"""PageRank's kernels under a memory budget: every kernel and wave count gives the same bits.

ARBORVANE_PAGERANK_BIN_BYTES (a test knob, read on every call) sets the propagation-blocking
bins' budget for graphs of any size; 0 leaves no wave room, so the pull kernel runs.
"""
import os
import subprocess
import sys

import numpy as np
import pytest

import arborvane

KNOB = "ARBORVANE_PAGERANK_BIN_BYTES"


def scores(g, monkeypatch, budget, threads=2, tol=1e-6):
    if budget is None:
        monkeypatch.delenv(KNOB, raising=False)
    else:
        monkeypatch.setenv(KNOB, str(budget))
    before = arborvane.get_num_threads()
    arborvane.set_num_threads(threads)
    try:
        return arborvane.pagerank_array(g, tol=tol)[1].tobytes()
    finally:
        arborvane.set_num_threads(before)


def test_waves_and_pull_agree_bit_for_bit(monkeypatch):
    # 7 source chunks of 2^14 nodes, 2 destination blocks; a hub, a self-loop and
    # an isolated node.
    g = arborvane.IntGraphCore()
    g.build_random(100_000, 300_000, seed=7)
    g.add_edges_flat(np.column_stack([np.zeros(5_000, np.int64), np.arange(1, 5_001)]).ravel())
    g.add_edge(42, 42)
    g.add_node(10**9)
    default = scores(g, monkeypatch, None)
    # pull; one wave; waves of about one chunk (1 MB of bins); 4 threads and 1
    for budget, threads in ((0, 2), (10**12, 2), (1 << 20, 2), (1 << 20, 4), (1 << 20, 1), (10**12, 1)):
        assert scores(g, monkeypatch, budget, threads) == default, (budget, threads)


def test_large_graph_small_budget(monkeypatch):
    # More nodes than the pull's limit (2^20): blocked by default, in one wave.
    g = arborvane.IntGraphCore()
    g.build_random(1_100_000, 1_200_000, seed=3)
    default = scores(g, monkeypatch, None, tol=1e-3)
    assert scores(g, monkeypatch, 4 << 20, tol=1e-3) == default  # 6 waves
    assert scores(g, monkeypatch, 0, tol=1e-3) == default  # the pull


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="the probe reads /proc/self")
def test_memory_probe_reports_every_step(tmp_path):
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    if not os.path.isdir(os.path.join(root, "bench")):
        pytest.skip("the benchmark harness is not in this tree (a source distribution)")
    proc = subprocess.run(
        [sys.executable, "-m", "bench.memory_ceiling", "--sizes", "2000:10000", "--libs", "arborvane",
         "--extended", "--edges-dir", str(tmp_path)],
        cwd=root, capture_output=True, text=True, timeout=120,
    )
    assert proc.returncode == 0, proc.stderr
    row = proc.stdout.strip().splitlines()[-1].split("|")
    assert row[1].strip() == "arborvane" and "failed" not in proc.stdout
    assert len([float(cell) for cell in row[4:-3]]) == 8  # every step's bytes per edge
