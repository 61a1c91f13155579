"""Figures for the random generator and the adjacency searches.

Builds build_random(n, m) on a fresh graph several times (each run in a
fresh process, so that resident memory is that of one graph) and reports
medians of wall and CPU time (CPU time is the steadier figure on a shared
machine): generation time per edge and peak resident memory, component sizes
per neighbour entry, a shortest path between two far nodes and the induced
edge count of 100,000 ids.

    PYTHONPATH=build/<name>/pkg python3 bench/generation_figures.py [--n N] [--m M] [--runs R]
"""

import argparse
import json
import resource
import statistics
import subprocess
import sys
import time


def one_run(n, m):
    from arborvane import IntGraphCore

    g = IntGraphCore()
    t0, c0 = time.perf_counter(), time.process_time()
    g.build_random(n, m)
    gen, gen_cpu = time.perf_counter() - t0, time.process_time() - c0
    rss_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss

    entries = 2 * g.number_of_edges()
    t0, c0 = time.perf_counter(), time.process_time()
    sizes = g.connected_component_sizes()
    comp, comp_cpu = time.perf_counter() - t0, time.process_time() - c0

    # Far nodes: the largest id in the graph from a node near the start;
    # the BFS reaches most of the giant component before it finds it.
    t0 = time.perf_counter()
    dist = g.shortest_path_length(0, n - 1)
    path = time.perf_counter() - t0
    t0 = time.perf_counter()
    unreachable = g.shortest_path_length(0, -1)
    absent = time.perf_counter() - t0

    ids = list(range(0, n, max(1, n // 100_000)))[:100_000]
    t0 = time.perf_counter()
    induced = g.subgraph_edge_count(ids)
    sub = time.perf_counter() - t0
    return {
        "gen_s": gen,
        "gen_ns_per_edge": gen * 1e9 / m,
        "gen_cpu_ns_per_edge": gen_cpu * 1e9 / m,
        "rss_mib": rss_kib / 1024,
        "nodes": len(g),
        "components": len(sizes),
        "components_s": comp,
        "components_ns_per_entry": comp * 1e9 / max(entries, 1),
        "components_cpu_ns_per_entry": comp_cpu * 1e9 / max(entries, 1),
        "path_len": dist,
        "path_s": path,
        "absent_path_result": unreachable,
        "absent_path_s": absent,
        "subgraph_edges": induced,
        "subgraph_s": sub,
    }


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=1_000_000)
    ap.add_argument("--m", type=int, default=10_000_000)
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.child:
        print(json.dumps(one_run(args.n, args.m)))
        return
    runs = []
    for _ in range(args.runs):
        out = subprocess.run(
            [sys.executable, __file__, "--child", "--n", str(args.n), "--m", str(args.m)],
            check=True, capture_output=True, text=True,
        ).stdout
        runs.append(json.loads(out))
    print(f"build_random({args.n:_}, {args.m:_}), medians of {args.runs} runs (fresh process each)")
    for key in runs[0]:
        vals = [r[key] for r in runs]
        med = statistics.median(vals)
        shown = f"{med:.4g}" if isinstance(med, float) else str(med)
        print(f"  {key:26s} {shown}")


if __name__ == "__main__":
    main()
