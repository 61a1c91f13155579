"""Figures for the array and file functions on one large graph.

Builds ``build_random(NODES, EDGES, 42)`` and reports, as medians of --runs
runs (wall clock and CPU time of this process), the time per edge of every
export, builder and file function, the memory of each result, and how long
Ctrl-C takes to stop the long calls (the time from the signal to the
KeyboardInterrupt reaching Python, over several signal times).

    PYTHONPATH=build/<name>/pkg python3 bench/array_figures.py [--nodes N] [--edges M] [--runs R] [--json]
"""

import argparse
import gc
import json
import os
import signal
import statistics
import sys
import tempfile
import time
import warnings

import numpy as np


def timed(call, runs):
    """Median wall and CPU seconds of `runs` calls after an untimed warm-up
    (imports, the snapshot), and the last result."""
    wall, cpu, result = [], [], call()
    for _ in range(runs):
        result = None
        gc.collect()
        w0, c0 = time.perf_counter(), time.process_time()
        result = call()
        c1, w1 = time.process_time(), time.perf_counter()
        wall.append(w1 - w0)
        cpu.append(c1 - c0)
    return statistics.median(wall), statistics.median(cpu), result


def interrupt_latency(call, delays):
    """Seconds from each SIGALRM (raising KeyboardInterrupt) to the exception
    leaving `call`; None where the call finished first."""
    out = []

    def handler(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, handler)
    try:
        for delay in delays:
            gc.collect()
            start = time.perf_counter()
            signal.setitimer(signal.ITIMER_REAL, delay)
            try:
                call()
                signal.setitimer(signal.ITIMER_REAL, 0)
                out.append(None)
            except KeyboardInterrupt:
                out.append(time.perf_counter() - start - delay)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--nodes", type=int, default=1_000_000)
    parser.add_argument("--edges", type=int, default=10_000_000)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--json", action="store_true", help="print one JSON object")
    args = parser.parse_args()

    import arborvane as av

    # The tol 0 run below caps the iterations on purpose.
    warnings.simplefilter("ignore", av.PowerIterationFailedConvergence)

    g = av.IntGraphCore()
    g.build_random(args.nodes, args.edges, 42)
    m = g.number_of_edges()
    figures = {"python": sys.version.split()[0], "runs": args.runs, "nodes": len(g), "edges": m,
               "threads": os.environ.get("RAYON_NUM_THREADS", "all"), "rows": {}}
    rows = figures["rows"]

    def row(name, call, per=m, memory=None):
        wall, cpu, result = timed(call, args.runs)
        rows[name] = {"wall_ms": wall * 1e3, "cpu_ms": cpu * 1e3, "wall_ns_per_edge": wall * 1e9 / per,
                      "result_bytes": memory(result) if memory else None}
        return result

    nbytes = lambda a: int(a.nbytes)  # noqa: E731
    row("node_array", lambda: av.node_array(g), memory=nbytes)
    row("degree_array", lambda: av.degree_array(g), memory=nbytes)
    edges = row("edge_array", lambda: av.edge_array(g), memory=nbytes)
    row("edges_flat (list, for comparison)", g.edges_flat, memory=lambda r: None)
    av.pagerank_array(g)  # the snapshot is built once, as for g.pagerank()
    row("pagerank_array", lambda: av.pagerank_array(g), memory=lambda r: int(r[0].nbytes + r[1].nbytes))
    row("to_scipy_sparse", lambda: av.to_scipy_sparse(g),
        memory=lambda r: int(r[0].data.nbytes + r[0].indices.nbytes + r[0].indptr.nbytes + r[1].nbytes))
    u, v = np.ascontiguousarray(edges[:, 0]), np.ascontiguousarray(edges[:, 1])
    row("from_arrays", lambda: av.from_arrays(u, v))

    with tempfile.TemporaryDirectory(dir=os.environ.get("ARBORVANE_BENCH_TMP")) as tmp:
        binary, text = os.path.join(tmp, "g.avg"), os.path.join(tmp, "g.txt")
        row("save", lambda: av.save(g, binary))
        row("load", lambda: av.load(binary))
        row("write_edgelist", lambda: av.write_edgelist(g, text))
        row("read_edgelist", lambda: av.read_edgelist(text))
        figures["file_bytes"] = {"binary": os.path.getsize(binary), "text": os.path.getsize(text)}
        figures["text_over_binary_load"] = rows["read_edgelist"]["wall_ms"] / rows["load"]["wall_ms"]

        delays = [0.03, 0.07, 0.11, 0.19]
        figures["interrupt_latency_ms"] = {
            name: [None if x is None else round(x * 1e3, 1) for x in interrupt_latency(call, delays)]
            for name, call in [
                ("from_arrays", lambda: av.from_arrays(u, v)),
                ("load", lambda: av.load(binary)),
                ("read_edgelist", lambda: av.read_edgelist(text)),
                ("pagerank_array (tol 0)", lambda: av.pagerank_array(g, tol=0.0, max_iter=10_000)),
            ]
        }

    if args.json:
        print(json.dumps(figures, indent=2))
        return
    print(f"python {figures['python']}, {figures['nodes']:,} nodes / {m:,} edges, "
          f"medians of {args.runs} runs, threads {figures['threads']}")
    for name, r in rows.items():
        memory = f"  result {r['result_bytes'] / 2**20:7.1f} MiB" if r["result_bytes"] else ""
        print(f"{name:36s} wall {r['wall_ms']:8.1f} ms ({r['wall_ns_per_edge']:6.1f} ns/edge)  "
              f"cpu {r['cpu_ms']:8.1f} ms{memory}")
    print(f"files: binary {figures['file_bytes']['binary'] / 2**20:.1f} MiB, text "
          f"{figures['file_bytes']['text'] / 2**20:.1f} MiB; read_edgelist / load = "
          f"{figures['text_over_binary_load']:.1f}")
    for name, values in figures["interrupt_latency_ms"].items():
        print(f"Ctrl-C latency, {name}: {values} ms")


if __name__ == "__main__":
    main()
