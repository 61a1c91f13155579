"""Figures for bulk loading and bulk export.

Loads 1,000,000 seeded random edges among 200,000 nodes with add_edges_flat,
from a Python list of 2,000,000 ids and from a numpy int64 array of the same
ids (skipped when numpy is absent), each run into a fresh graph; then times
edges_flat() and edges() on the loaded graph. Reports the median of --runs
runs of each, as wall-clock time and as CPU time of this process (the CPU
figure is the steadier one on a shared machine).

    PYTHONPATH=build/<name>/pkg python3 bench/bulk_figures.py [--runs R] [--json]
"""

import argparse
import json
import os
import random
import statistics
import sys
import time

# numpy's BLAS threads would spin beside the measured thread for nothing.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

NODES = 200_000
EDGES = 1_000_000
SEED = 20240601


def timed(fn, runs):
    """Median wall and CPU seconds of `runs` calls of fn(), each preceded by
    a fresh setup that fn returns as a callable (so that setup is untimed)."""
    wall, cpu = [], []
    for _ in range(runs):
        work = fn()
        w0, c0 = time.perf_counter(), time.process_time()
        result = work()
        c1, w1 = time.process_time(), time.perf_counter()
        del result
        wall.append(w1 - w0)
        cpu.append(c1 - c0)
    return statistics.median(wall), statistics.median(cpu)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--json", action="store_true", help="print one JSON object")
    args = parser.parse_args()

    from arborvane import IntGraphCore

    rng = random.Random(SEED)
    flat = [rng.randrange(NODES) for _ in range(2 * EDGES)]
    pairs = len(flat) // 2
    figures = {"runs": args.runs, "python": sys.version.split()[0]}

    def load_from(source):
        def setup():
            g = IntGraphCore()
            return lambda: g.add_edges_flat(source)
        return setup

    wall, cpu = timed(load_from(flat), args.runs)
    figures["flat_list_ns_per_edge"] = {"wall": wall * 1e9 / pairs, "cpu": cpu * 1e9 / pairs}

    try:
        import numpy
    except ImportError:
        numpy = None
    if numpy is not None:
        array = numpy.array(flat, dtype=numpy.int64)
        wall, cpu = timed(load_from(array), args.runs)
        figures["flat_numpy_ns_per_edge"] = {"wall": wall * 1e9 / pairs, "cpu": cpu * 1e9 / pairs}

    g = IntGraphCore()
    g.add_edges_flat(flat)
    m = g.number_of_edges()
    figures["graph"] = {"nodes": g.number_of_nodes(), "edges": m}
    wall, cpu = timed(lambda: g.edges_flat, args.runs)
    figures["edges_flat_ns_per_id"] = {"wall": wall * 1e9 / (2 * m), "cpu": cpu * 1e9 / (2 * m)}
    wall, cpu = timed(lambda: g.edges, args.runs)
    figures["edges_ns_per_pair"] = {"wall": wall * 1e9 / m, "cpu": cpu * 1e9 / m}

    if args.json:
        print(json.dumps(figures, indent=2))
        return
    print(f"python {figures['python']}, medians of {args.runs} runs, "
          f"graph {figures['graph']['nodes']} nodes / {figures['graph']['edges']} edges")
    for key, label in [("flat_list_ns_per_edge", "add_edges_flat(list)   ns/edge"),
                       ("flat_numpy_ns_per_edge", "add_edges_flat(numpy)  ns/edge"),
                       ("edges_flat_ns_per_id", "edges_flat()           ns/id"),
                       ("edges_ns_per_pair", "edges()                ns/pair")]:
        if key in figures:
            print(f"{label}  wall {figures[key]['wall']:8.1f}   cpu {figures[key]['cpu']:8.1f}")


if __name__ == "__main__":
    main()
