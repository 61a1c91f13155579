"""Timings of the CSR snapshot build, PageRank and the triangle count on a
large random graph, with 1 and 2 worker threads.

    PYTHONPATH=build/<name>/pkg python3 bench/analytics_figures.py [--nodes N] [--edges M]

Each thread count runs in its own interpreter (the pool is sized once per
process, from RAYON_NUM_THREADS). Every figure is the median of --repeats
runs on the same graph.

How the figures are taken (no method exposes the snapshot build alone):
- convert:  pagerank(max_iter=0) on a cached snapshot, i.e. allocating the
            score vectors and building the Python result list;
- snapshot: pagerank(max_iter=0) right after add_node(existing id), which
            discards the snapshot, minus `convert`;
- pagerank: pagerank() with defaults on a cached snapshot; the kernel time is
            that minus `convert`, and ns per neighbour entry per iteration is
            kernel / (iterations x neighbour entries);
- iterations: the smallest max_iter whose result equals the default run bit
            for bit (the loop stops at the first iteration whose change is
            below tol, so later max_iter values all give that result);
- triangles: triangle_count() on a cached snapshot.

Memory-traffic floor of one PageRank iteration: the bytes that a pull
iteration must stream at least once (32-bit neighbour-index array, 64-bit
offsets, 32-bit degrees, the score/share vectors read and written, and the
convergence pass over two score vectors), divided by the copy bandwidth this
machine reaches with numpy on the same number of threads (a 2 x 256 MiB
copy, split across threads, counting bytes read plus bytes written). Gathers
of neighbours' shares are assumed to hit the cache, which makes it a floor.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import threading
import time


def median_time(fn, repeats, cpu=None):
    """Median wall-clock seconds of `fn`; with a list `cpu`, also appends the
    median process CPU seconds (all threads) to it."""
    walls, cpus = [], []
    for _ in range(repeats):
        start, start_cpu = time.perf_counter(), time.process_time()
        fn()
        walls.append(time.perf_counter() - start)
        cpus.append(time.process_time() - start_cpu)
    if cpu is not None:
        cpu.append(statistics.median(cpus))
    return statistics.median(walls)


def build_graph(nodes, edges, seed):
    from arborvane import IntGraphCore

    g = IntGraphCore()
    try:
        g.build_random(nodes, edges, seed)
        return g, "build_random"
    except (AttributeError, NotImplementedError):
        pass
    import numpy as np

    rng = np.random.default_rng(seed)
    g = IntGraphCore()
    g.add_edges_flat(rng.integers(0, nodes, size=2 * edges, dtype=np.int64))
    return g, "add_edges_flat(numpy)"


def copy_bandwidth(threads):
    """Bytes per second moved by numpy copies (read + write) on `threads` threads."""
    import numpy as np

    size = 256 << 20
    src = np.ones(size // 8, dtype=np.int64)
    dst = np.empty_like(src)
    parts = np.array_split(np.arange(src.size), threads)
    bounds = [(p[0], p[-1] + 1) for p in parts]

    def copy_all():
        def one(lo, hi):
            np.copyto(dst[lo:hi], src[lo:hi])
        workers = [threading.Thread(target=one, args=b) for b in bounds]
        for w in workers:
            w.start()
        for w in workers:
            w.join()

    copy_all()
    return 2 * size / median_time(copy_all, 5)


def iterations_to_converge(g, full):
    """Smallest max_iter whose result equals the default run's bits."""
    lo, hi = 0, 100
    while lo < hi:
        mid = (lo + hi) // 2
        if g.pagerank(max_iter=mid) == full:
            hi = mid
        else:
            lo = mid + 1
    return lo


def worker(args):
    start = time.perf_counter()
    g, how = build_graph(args.nodes, args.edges, args.seed)
    load = time.perf_counter() - start
    n, m = g.number_of_nodes(), g.number_of_edges()
    entries = sum(d for _, d in g.degree_sequence())
    some_node = g.nodes()[0]

    cpu = []
    g.pagerank(max_iter=0)
    convert = median_time(lambda: g.pagerank(max_iter=0), args.repeats, cpu)

    def rebuild():
        g.add_node(some_node)
        g.pagerank(max_iter=0)
    snapshot = median_time(rebuild, args.repeats, cpu) - convert

    full = g.pagerank()
    pagerank = median_time(g.pagerank, args.repeats, cpu)
    triangles = g.triangle_count()
    triangle_time = median_time(g.triangle_count, args.repeats, cpu)
    cpu_convert, cpu_rebuild, cpu_pagerank, cpu_triangles = cpu
    iterations = iterations_to_converge(g, full) if args.iterations else None

    bandwidth = copy_bandwidth(args.threads)
    # Bytes one pull iteration streams at least once: index array, offsets,
    # degrees, shares read, next score and next share written, and the
    # convergence pass reading two score vectors.
    floor_bytes = 4 * entries + 8 * (n + 1) + 4 * n + 8 * n + 8 * n + 8 * n + 16 * n
    print(json.dumps({
        "threads": args.threads, "how": how, "load_s": load, "nodes": n, "edges": m,
        "entries": entries, "convert_s": convert, "snapshot_s": snapshot, "pagerank_s": pagerank,
        "iterations": iterations, "triangle_count_s": triangle_time,
        "cpu_snapshot_s": cpu_rebuild - cpu_convert, "cpu_pagerank_kernel_s": cpu_pagerank - cpu_convert,
        "cpu_triangle_count_s": cpu_triangles, "triangles": triangles,
        "copy_gbps": bandwidth / 1e9, "floor_bytes": floor_bytes,
        "floor_ms": floor_bytes / bandwidth * 1e3,
        "digest": hash(tuple(x for _, x in full)),
    }))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--nodes", type=int, default=1_000_000)
    parser.add_argument("--edges", type=int, default=10_000_000)
    parser.add_argument("--seed", type=int, default=42)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--iterations", type=int, default=1, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        args.threads = args.threads[0]
        worker(args)
        return

    results = []
    for i, threads in enumerate(args.threads):
        env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
        cmd = [sys.executable, __file__, "--worker", "--nodes", str(args.nodes), "--edges", str(args.edges),
               "--seed", str(args.seed), "--repeats", str(args.repeats), "--threads", str(threads),
               "--iterations", "1" if i == 0 else "0"]
        out = subprocess.run(cmd, env=env, check=True, capture_output=True, text=True).stdout
        results.append(json.loads(out))

    iterations = results[0]["iterations"]
    first = results[0]
    load = os.getloadavg()[0]
    if load > os.cpu_count():
        print(f"warning: load average {load:.1f} on {os.cpu_count()} CPUs; wall-clock figures are stretched")
    print(f"graph: {first['nodes']:,} nodes, {first['edges']:,} edges ({first['entries']:,} neighbour "
          f"entries), built by {first['how']} in {first['load_s']:.1f} s")
    print(f"pagerank iterations (defaults): {iterations}; scores identical across thread counts: "
          f"{len({r['digest'] for r in results}) == 1}")
    print(f"{'threads':>7} {'snapshot s':>10} {'pagerank s':>10} {'ns/entry/it':>11} {'floor ms/it':>11} "
          f"{'x floor':>7} {'triangles s':>11} {'copy GB/s':>9}")
    for r in results:
        kernel = r["pagerank_s"] - r["convert_s"]
        per_iter = kernel / max(iterations, 1)
        ns_entry = per_iter / r["entries"] * 1e9
        print(f"{r['threads']:>7} {r['snapshot_s']:>10.3f} {r['pagerank_s']:>10.3f} {ns_entry:>11.2f} "
              f"{r['floor_ms']:>11.2f} {per_iter * 1e3 / r['floor_ms']:>7.2f} {r['triangle_count_s']:>11.3f} "
              f"{r['copy_gbps']:>9.2f}")
    print("process CPU seconds (all threads; under contention from other processes the wall-clock "
          "figures above stretch, these do not):")
    for r in results:
        print(f"  {r['threads']} thread(s): snapshot {r['cpu_snapshot_s']:.3f}, pagerank kernel "
              f"{r['cpu_pagerank_kernel_s']:.3f} ({r['cpu_pagerank_kernel_s'] / max(iterations, 1) / r['entries'] * 1e9:.2f}"
              f" ns/entry/iteration), triangle_count {r['cpu_triangle_count_s']:.3f}")
    if len(results) > 1:
        base = results[0]
        for r in results[1:]:
            print(f"speed-up {base['threads']} -> {r['threads']} threads: snapshot "
                  f"{base['snapshot_s'] / r['snapshot_s']:.2f}x, pagerank "
                  f"{(base['pagerank_s'] - base['convert_s']) / (r['pagerank_s'] - r['convert_s']):.2f}x, "
                  f"triangles {base['triangle_count_s'] / r['triangle_count_s']:.2f}x")
    print(f"(triangles: {first['triangles']:,}; result conversion {first['convert_s'] * 1e3:.0f} ms "
          f"is excluded from the per-iteration figures)")


if __name__ == "__main__":
    main()
