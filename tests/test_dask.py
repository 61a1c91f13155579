"""arborvane.dask on a LocalCluster of two worker processes: results equal to
the single-process functions, a graph larger than a worker's memory limit,
a worker killed in the middle of a run, and an interrupted run."""

import os
import signal
import time

import numpy as np
import pytest

if os.environ.get("ARBORVANE_SANITIZER_RUN"):
    # Every worker process would load the sanitizer runtime and its allocator,
    # far past the memory limits these clusters are given; the native kernel
    # the workers call runs under the sanitizers in test_csr_matvec.
    pytest.skip("Dask workers under the sanitizer runtime", allow_module_level=True)
pytest.importorskip("pandas")
pytest.importorskip("pyarrow")
dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")
dask = pytest.importorskip("dask")

import arborvane  # noqa: E402
import arborvane.dask as ad  # noqa: E402
from dask.utils import key_split  # noqa: E402

from conftest import run_python  # noqa: E402

pytestmark = [
    # A LocalCluster on a busy machine reports slow event loops and, when
    # a worker is killed on purpose, the connections that broke.
    pytest.mark.filterwarnings("ignore:.*Port \\d+ is already in use:UserWarning"),
    # The single-process reference is cut at the distributed run's iteration
    # count on purpose, which may stop it before tol is met.
    pytest.mark.filterwarnings("ignore::arborvane.arrays.PowerIterationFailedConvergence"),
]

# Each worker may hold this much; the nanny kills it at 95%. Interpreters
# differ by tens of MiB in a worker's own footprint (3.13 peaked at 343 MiB).
MEMORY_LIMIT = 448 * 2**20


# Partitions are the workers' working set, not a cache: nothing is spilled
# or paused, and the nanny's limit is the one that applies. Their tasks run
# where they are: no work stealing (see docs/dask.md).
QUIET = {
    "distributed.worker.memory.target": False,
    "distributed.worker.memory.spill": False,
    "distributed.worker.memory.pause": False,
    "distributed.scheduler.work-stealing": False,
}


@pytest.fixture(scope="module")
def client():
    with dask.config.set(QUIET):
        with distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, memory_limit=MEMORY_LIMIT, dashboard_address=":0"
        ) as cluster, distributed.Client(cluster) as client:
            yield client


def small_edges(seed=5):
    """Random edges with negative ids, self-loops, both directions of some
    edges, a triangle of its own and a node with only a self-loop."""
    rng = np.random.default_rng(seed)
    u = rng.integers(-50, 2000, 5000)
    v = rng.integers(-50, 2000, 5000)
    u = np.concatenate([u, v[:100], [5000, 5001, 5002, 7000]])
    v = np.concatenate([v, u[:100], [5001, 5002, 5000, 7000]])
    return u, v


def by_node(frame, column, ids):
    values = frame.compute().set_index("node")[column]
    assert values.index.is_unique
    return values.loc[ids].to_numpy()


def check_against_single_process(graph, g, **pagerank_args):
    ids = arborvane.node_array(g)
    assert (graph.number_of_nodes(), graph.number_of_edges()) == (g.number_of_nodes(), g.number_of_edges())
    assert np.array_equal(by_node(ad.degrees(graph), "degree", ids), arborvane.degree_array(g))

    result = ad.pagerank(graph, **pagerank_args)
    _, expected = arborvane.pagerank_array(g, **pagerank_args)
    assert np.abs(by_node(result.scores, "pagerank", ids) - expected).max() < 1e-12
    # The single-process run stops after the same iteration: cut there, it
    # gives the same bits, and one iteration earlier it does not.
    max_iter = pagerank_args.get("max_iter", 100)
    cut = {**pagerank_args, "max_iter": result.iterations}
    assert np.array_equal(arborvane.pagerank_array(g, **cut)[1], expected)
    if result.iterations < max_iter:
        cut["max_iter"] -= 1
        assert not np.array_equal(arborvane.pagerank_array(g, **cut)[1], expected)

    _, labels = arborvane.component_labels(g)
    smallest = np.full(labels.max() + 1, np.iinfo(np.int64).max)
    np.minimum.at(smallest, labels, ids)
    assert np.array_equal(by_node(ad.component_labels(graph), "component", ids), smallest[labels])
    return result


@pytest.mark.parametrize(("partitions", "tol"), [(1, 1e-6), (3, 1e-4), ([0, 900], 1e-3)])
def test_dataframe_input_matches_single_process(client, partitions, tol):
    import pandas as pd

    u, v = small_edges()
    df = dd.from_pandas(pd.DataFrame({"a": u, "b": v.astype(np.int32)}), npartitions=3)
    graph = ad.from_dataframe(df, "a", "b", partitions=partitions)
    distributed.wait(graph.futures)
    assert {key_split(f.key) for f in graph.futures} == {"arborvane-build"}
    result = check_against_single_process(graph, arborvane.from_arrays(u, v), tol=tol)
    assert (result.bytes_per_iteration == 0) == (partitions == 1)
    graph.release()


def test_parquet_and_edgelist_inputs(client, tmp_path):
    import pandas as pd

    u, v = small_edges(seed=7)
    g = arborvane.from_arrays(u, v)
    half = u.size // 2
    (tmp_path / "pq").mkdir()
    (tmp_path / "txt").mkdir()
    for i, part in enumerate([slice(0, half), slice(half, None)]):
        pd.DataFrame({"source": u[part], "target": v[part]}).to_parquet(tmp_path / "pq" / f"{i}.parquet")
        arborvane.write_edgelist(arborvane.from_arrays(u[part], v[part]), tmp_path / "txt" / f"{i}.txt.gz")
    with ad.read_parquet(str(tmp_path / "pq"), partitions=2) as graph:
        check_against_single_process(graph, g, tol=1e-3)
    with ad.read_edgelists(tmp_path / "txt", partitions=[1000]) as graph:
        check_against_single_process(graph, g, max_iter=4)


def test_bad_arguments(client, tmp_path):
    import pandas as pd

    df = dd.from_pandas(pd.DataFrame({"source": [1, 2], "target": [2.5, 3.0]}), npartitions=1)
    with pytest.raises(KeyError, match="'dst'"):
        ad.from_dataframe(df, "source", "dst")
    with pytest.raises(ValueError, match="strictly increasing"):
        ad.from_dataframe(df, partitions=[5, 5])
    with pytest.raises(ValueError, match="at least 1"):
        ad.from_dataframe(df, partitions=0)
    with pytest.raises(FileNotFoundError):
        ad.read_edgelists(tmp_path / "*.txt")
    with pytest.raises(TypeError, match="target must hold integers"):
        ad.from_dataframe(df).number_of_nodes()
    edges = dd.from_dict({"source": [1], "target": [2]}, npartitions=1)
    graph = ad.from_dataframe(edges[edges.source > 5])  # no edges at all
    assert ad.pagerank(graph).iterations == 0
    with pytest.raises(ValueError, match="max_iter"):
        ad.pagerank(graph, max_iter=-1)


def scheduler_keys(client, prefix):
    keys = client.run_on_scheduler(lambda dask_scheduler: [str(k) for k in dask_scheduler.tasks])
    return [k for k in keys if prefix in k]


def test_interrupt_cancels_the_cluster_work(client):
    u, v = small_edges()
    graph = ad.from_dataframe(dd.from_dict({"source": u, "target": v}, npartitions=2), partitions=2)

    def interrupt(iteration, change):
        if iteration == 2:
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        ad.pagerank(graph, tol=0.0, callback=interrupt)
    deadline = time.monotonic() + 10
    while scheduler_keys(client, "arborvane-pagerank") and time.monotonic() < deadline:
        time.sleep(0.05)
    assert scheduler_keys(client, "arborvane-pagerank") == []
    graph.release()


def test_worker_killed_mid_run(client):
    u, v = small_edges(seed=11)
    g = arborvane.from_arrays(u, v)
    graph = ad.from_dataframe(dd.from_dict({"source": u, "target": v}, npartitions=2), partitions=2)
    distributed.wait(graph.futures)
    holder = next(iter(client.who_has(graph.futures[0])[graph.futures[0].key]))
    pid = client.run(os.getpid, workers=[holder])[holder]
    killed = []

    def kill(iteration, change):
        if iteration == 3:
            os.kill(pid, signal.SIGKILL)
            killed.append(iteration)

    result = ad.pagerank(graph, tol=0.0, max_iter=8, callback=kill)
    assert killed == [3] and result.iterations == 8
    scores = by_node(result.scores, "pagerank", arborvane.node_array(g))
    assert np.abs(scores - arborvane.pagerank_array(g, max_iter=8, tol=0.0)[1]).max() < 1e-12
    graph.release()
    client.wait_for_workers(2, timeout=60)


# The single-process reference of the memory test, in a fresh interpreter:
# the files' edges read as arborvane.dask reads them, one graph, its
# analytics saved; it prints its peak resident size above its start.
REFERENCE = """
import glob, sys
import numpy as np
import arborvane
from arborvane.edgelist import read_edge_list
from dask_worker_tasks import peak_rss

start = peak_rss()
flat = np.concatenate([np.asarray(read_edge_list(f).flat, dtype=np.int64) for f in sorted(glob.glob(sys.argv[1]))])
g = arborvane.from_arrays(flat[0::2], flat[1::2])
del flat
ids, pagerank = arborvane.pagerank_array(g)
_, labels = arborvane.component_labels(g)
smallest = np.full(labels.max() + 1, np.iinfo(np.int64).max)
np.minimum.at(smallest, labels, ids)
np.savez(sys.argv[2], ids=ids, pagerank=pagerank, component=smallest[labels], degree=arborvane.degree_array(g))
print(peak_rss() - start)
"""


def test_graph_larger_than_a_worker(tmp_path):
    # 9.6M edges written by the workers as 24 edge-list files, read as two
    # range partitions by fresh workers (no pandas in them until the
    # results). One process needs 1.6 times a worker's limit for them (734
    # MiB); the workers peaked at 241-253 MiB on 3.11 (62 of it their own),
    # 264-299 on 3.14 and 3.14t.
    import subprocess
    import sys

    import dask_worker_tasks as tasks
    import pandas as pd

    n, files = 1_200_000, 24
    with dask.config.set(QUIET), distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, memory_limit=MEMORY_LIMIT, dashboard_address=":0"
    ) as cluster, distributed.Client(cluster) as client:
        client.gather(client.map(tasks.write_local_edges, [str(tmp_path)] * files, range(files), files=files, n=n))
        env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
        with subprocess.Popen(
            [sys.executable, "-c", REFERENCE, str(tmp_path / "*.txt"), str(tmp_path / "reference.npz")],
            env=env, stdout=subprocess.PIPE, text=True,
        ) as reference:
            pids = client.run(os.getpid)
            with ad.read_edgelists(tmp_path, partitions=[n // 2], client=client) as graph:
                distributed.wait(graph.futures)
                holders = client.who_has(graph.futures)
                assert len({w for f in graph.futures for w in holders[f.key]}) == 2
                # Partition by partition: .compute() would concatenate them
                # on one worker first.
                pagerank, component, degree = (
                    pd.concat(client.compute(frame.to_delayed(), sync=True))
                    for frame in [ad.pagerank(graph).scores, ad.component_labels(graph), ad.degrees(graph)]
                )
            peaks = client.run(tasks.peak_rss)
            assert client.run(os.getpid) == pids  # no worker was restarted
            footprint = int(reference.communicate(timeout=120)[0])
    assert reference.returncode == 0
    assert footprint > 1.5 * MEMORY_LIMIT and max(peaks.values()) < 0.95 * MEMORY_LIMIT
    expected = np.load(tmp_path / "reference.npz")
    for frame, column in [(pagerank, "pagerank"), (component, "component"), (degree, "degree")]:
        values = frame.set_index("node")[column]
        assert values.index.is_unique and values.size == expected["ids"].size
        got = values.loc[expected["ids"]].to_numpy()
        if column == "pagerank":
            assert np.abs(got - expected[column]).max() < 1e-12
        else:
            assert np.array_equal(got, expected[column])


def test_import_arborvane_does_not_import_dask():
    out = run_python("import arborvane, sys; print('dask' in sys.modules, arborvane.dask.__name__)")
    assert out.split() == ["False", "arborvane.dask"]
