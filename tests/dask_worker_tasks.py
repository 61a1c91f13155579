"""Functions that tests/test_dask.py runs inside Dask workers. They live
apart from the test module, which workers would otherwise import with
pandas and dask.dataframe (about 100 MiB of each worker's memory)."""

import os

import numpy as np

import arborvane


def peak_rss():
    """This process's peak resident size in bytes (VmHWM: unlike ru_maxrss,
    not inherited from the process that started it)."""
    with open("/proc/self/status") as status:
        line = next(line for line in status if line.startswith("VmHWM:"))
    return int(line.split()[1]) * 1024


def write_local_edges(directory, i, files, n, per_node=8, seed=3):
    """File i of `files` of a graph on ids 0..n-1 in which each node of the
    file's slice of ids is joined to `per_node` nodes a little above it
    (wrapping), one edge in a hundred to anywhere: nearly all edges stay
    inside a range partition, a few cross. The same arguments write the
    same file."""
    rng = np.random.default_rng([seed, i])
    u = np.repeat(np.arange(i * n // files, (i + 1) * n // files, dtype=np.int64), per_node)
    v = (u + rng.integers(1, 1000, u.size)) % n
    far = rng.random(u.size) < 0.01
    v[far] = rng.integers(0, n, int(far.sum()))
    path = os.path.join(directory, f"{i:03}.txt")
    arborvane.write_edgelist(arborvane.from_arrays(u, v), path)
    return path
