"""Figures of building arborvane.Graph that the peers have no counterpart for.

    PYTHONPATH=build/<name>/pkg python3 bench/directed_weighted_figures.py [--nodes N] [--edges M]

The comparisons with the peers (building a directed weighted graph from
arrays, Dijkstra, BFS, weak and strong components, PageRank, degrees) are
workloads of the harness: ``python -m bench --workloads directed_build,...``.
This script measures, on one random directed graph with uniform weights in
[0, 1) (seeded), each row the median of --repeats runs, wall and process CPU
seconds (CPU is the steadier figure on a shared machine):
- build: ``from_edges(u, v, w, directed=True)`` with the labels as int64 ids
  0..n-1, as scattered int64 ids, as strings "n<id>" in object arrays and in
  numpy unicode arrays; and the native CSR build alone (``csr_build`` on the
  node codes), so each label kind's mapping cost is its row less that one;
- bytes/edge: the Graph's arrays (out- and in-rows) per merged edge,
  unweighted, float64 and float32 weights.
Prints one JSON object.
"""

import argparse
import json
import statistics
import time

import numpy as np


def timed(fn, repeats):
    walls, cpus, result = [], [], None
    for _ in range(repeats):
        start, start_cpu = time.perf_counter(), time.process_time()
        result = fn()
        walls.append(time.perf_counter() - start)
        cpus.append(time.process_time() - start_cpu)
    return {"wall_s": round(statistics.median(walls), 4), "cpu_s": round(statistics.median(cpus), 4)}, result


def graph_bytes(g):
    arrays = [*g.csr(), *(g.csr(incoming=True) if g.directed else ())]
    return sum(a.nbytes for a in arrays if a is not None)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--nodes", type=int, default=100_000)
    parser.add_argument("--edges", type=int, default=1_000_000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--skip-labels", action="store_true", help="int64 ids 0..n-1 only")
    args = parser.parse_args()
    import arborvane
    from arborvane import _native

    rng = np.random.default_rng(42)
    n, m = args.nodes, args.edges
    u, v = rng.integers(0, n, m), rng.integers(0, n, m)
    w = rng.random(m)
    rows = {}
    rows["native csr_build"], _ = timed(lambda: _native.arrays.csr_build(u, v, w, n, True, "sum", False), args.repeats)
    rows["from_edges int64 ids"], g = timed(lambda: arborvane.from_edges(u, v, w, directed=True), args.repeats)
    if not args.skip_labels:
        scattered = u * 1_000_003 + 7, v * 1_000_003 + 7
        names = np.char.add("n", u.astype(str)), np.char.add("n", v.astype(str))
        kinds = {"int64 scattered ids": scattered, "numpy unicode strings": names,
                 "object strings": (names[0].astype(object), names[1].astype(object))}
        for kind, (a, b) in kinds.items():
            rows[f"from_edges {kind}"], _ = timed(lambda: arborvane.from_edges(a, b, w, directed=True), 1)
    merged = g.number_of_edges()
    memory = {
        "unweighted": graph_bytes(arborvane.from_edges(u, v, directed=True)) / merged,
        "float64": graph_bytes(g) / merged,
        "float32": graph_bytes(arborvane.from_edges(u, v, w, directed=True, weight_dtype=np.float32)) / merged,
    }
    print(json.dumps({"nodes": n, "edges": m, "merged_edges": merged, "threads": arborvane.get_num_threads(),
                      "rows": rows, "bytes_per_edge": memory}, indent=1))


if __name__ == "__main__":
    main()
