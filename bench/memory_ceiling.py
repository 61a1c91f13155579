"""Peak memory of a whole-graph analysis, in resident bytes per edge.

``python -m bench.memory_ceiling [--sizes 4000000:40000000,16000000:32000000] [--kind uniform|powerlaw]
[--libs arborvane,graph,graph-int64,networkit] [--threads 2] [--extended]``

For every size and library one fresh interpreter builds the graph from the same edge file
of int32 pairs, read whole and dropped once the graph is built: ``from_arrays`` and
NetworKit's ``GraphFromCoo`` get int64 arrays, ``graph`` (an ``arborvane.Graph`` from
``from_edges``, analysed in place) the file's own int32 views ``pairs[0::2]``,
``pairs[1::2]`` (``graph-int64``: int64 arrays); the output names each input. It then
runs the analysis: PageRank (20 iterations), connected component
labels, the triangle count, and with ``--extended`` also core numbers, local clustering,
sampled betweenness and the degrees. Before each step the kernel's high-water mark of the
resident set (``VmHWM``) is reset (``/proc/self/clear_refs``, Linux), so every step reports
its own peak; all figures are bytes over the interpreter's resident set once the libraries
are imported, divided by the edge count. The build's own peak holds the edge arrays; the
analysis peak is that of the steps after it (the graph and whatever the step adds).

``--bisect CAP`` (``CAP`` as ``24G``, ``512M`` or bytes) predicts the largest graph with
m = 10 n (uniform, and power law) whose build and analysis peak under CAP: it measures the
process's peak (the build's included, which holds the edge arrays) at a few sizes, fits peak = a + b * m by least squares, and solves for CAP; a bisection over m on
that model gives the edge count in whole millions. ``--verify`` then runs one real analysis
at 95 % of the predicted ceiling, only when the machine has that much memory available plus
a quarter of it to spare (``--spare``); the measured peak is reported next to the prediction.
The edge file of such a run (8 bytes per edge, written in buckets) needs about 1.5 GiB of
memory to write and twice its size again of disk beside it while it is written.
"""
from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
import warnings

import numpy as np

STEPS = ("build", "pagerank", "components", "triangles")
EXTENDED_STEPS = ("core_number", "clustering", "betweenness", "degrees")
BETWEENNESS_SAMPLE = 4
MODEL_SIZES = (500_000, 1_000_000, 2_000_000)  # nodes of the m = 10 n graphs the model is fitted on


# ---- the measured process -----------------------------------------------------------

def _status_kib(field: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"{field} missing from /proc/self/status")


def _reset_peak() -> None:
    """Sets VmHWM to the current resident set (Linux >= 4.0)."""
    with open("/proc/self/clear_refs", "w") as refs:
        refs.write("5")


def _edges(path: str, wide: bool = True) -> tuple[np.ndarray, np.ndarray]:
    """(u, v) from the int32 pair file: int64 arrays, or (not wide) the two strided int32
    views of the pairs as read, 8 bytes per edge in all."""
    pairs = np.fromfile(path, dtype=np.int32)
    if not wide:
        return pairs[0::2], pairs[1::2]
    return pairs[0::2].astype(np.int64), pairs[1::2].astype(np.int64)


def _arborvane_steps(path: str, n: int, m: int, threads: int):
    import arborvane
    arborvane.set_num_threads(threads)
    state = {}

    def build():
        if path == "random":  # its own G(n, m) generator: no edge arrays, and sets sized once
            state["g"] = arborvane.IntGraphCore()
            state["g"].build_random(n, m, 1)
        else:
            state["g"] = arborvane.from_arrays(*_edges(path))
        state["g"].add_nodes_from(np.arange(n, dtype=np.int64))  # the isolated ones

    g = lambda: state["g"]  # noqa: E731
    return {
        "build": build,
        "pagerank": lambda: arborvane.pagerank_array(g(), max_iter=20, tol=0.0),
        "components": lambda: arborvane.component_labels(g()),
        "triangles": lambda: g().triangle_count(),
        "core_number": lambda: arborvane.core_number(g()),
        "clustering": lambda: arborvane.clustering(g()),
        "betweenness": lambda: arborvane.betweenness_centrality(g(), k=BETWEENNESS_SAMPLE, seed=1),
        "degrees": lambda: arborvane.degree_array(g()),
    }


def _graph_steps(path: str, n: int, m: int, threads: int, wide: bool = False):
    """arborvane.Graph: the rows built once from the edges (int32 views of the pair file, as
    a user holding a billion edges would pass them; int64 arrays when wide), analysed in
    place."""
    import arborvane
    arborvane.set_num_threads(threads)
    state = {}

    def build():
        state["g"] = arborvane.from_edges(*_edges(path, wide))

    g = lambda: state["g"]  # noqa: E731
    return {
        "build": build,
        "pagerank": lambda: g().pagerank(),
        "components": lambda: g().connected_components(),
        "triangles": lambda: g().triangle_count(),
        "core_number": lambda: g().core_number(),
        "clustering": lambda: g().clustering(),
        "betweenness": lambda: None,  # Graph has no sampled betweenness
        "degrees": lambda: g().degree(),
    }


def _networkit_steps(path: str, n: int, m: int, threads: int):
    import networkit as nk
    nk.setNumberOfThreads(threads)
    nk.engineering.setLogLevel("ERROR")
    state = {}

    def build():
        state["g"] = nk.GraphFromCoo(_edges(path), n=n)

    def pagerank():
        pr = nk.centrality.PageRank(state["g"], damp=0.85, tol=0.0)
        pr.norm = nk.centrality.Norm.L1_NORM
        pr.maxIterations = 20
        return pr.run().scores()

    def triangles():
        state["g"].indexEdges()
        score = nk.sparsification.TriangleEdgeScore(state["g"])
        score.run()
        return score.scores()

    g = lambda: state["g"]  # noqa: E731
    return {
        "build": build,
        "pagerank": pagerank,
        "components": lambda: nk.components.ConnectedComponents(g()).run().getPartition().getVector(),
        "triangles": triangles,
        "core_number": lambda: nk.centrality.CoreDecomposition(g()).run().scores(),
        "clustering": lambda: nk.centrality.LocalClusteringCoefficient(g(), turbo=True).run().scores(),
        "betweenness": lambda: nk.centrality.EstimateBetweenness(g(), BETWEENNESS_SAMPLE, True, threads > 1)
        .run().scores(),
        "degrees": lambda: np.array([g().degree(u) for u in range(n)], dtype=np.int64),
    }


def _child(lib: str, path: str, n: int, m: int, threads: int, extended: bool) -> None:
    warnings.simplefilter("ignore")  # PageRank's 20 iterations are not meant to converge
    make = {"arborvane": _arborvane_steps, "graph": _graph_steps, "networkit": _networkit_steps,
            "graph-int64": lambda *a: _graph_steps(*a, wide=True)}[lib]
    steps = make(path, n, m, threads)
    base = _status_kib("VmRSS")
    report = {"lib": lib, "n": n, "m": m, "base_bytes": base * 1024, "steps": {}}
    for name in STEPS + (EXTENDED_STEPS if extended else ()):
        _reset_peak()
        start = time.perf_counter()
        result = steps[name]()
        seconds = time.perf_counter() - start
        del result
        report["steps"][name] = {"peak_bytes": (_status_kib("VmHWM") - base) * 1024,
                                 "after_bytes": (_status_kib("VmRSS") - base) * 1024, "seconds": seconds}
    print(json.dumps(report))


# ---- the driver ------------------------------------------------------------------------

# Distinct keys per bucket of the edge file's generation: a bucket's sort
# (the keys, their sorted copy and the mask, 8 + 8 + 1 bytes a key) then takes
# about 300 MiB, far below the file of a billion edges (8 GiB).
BUCKET_EDGES = 1 << 24


def write_edges(directory: str, n: int, m: int, kind: str, seed: int = 1) -> str:
    """The path of a file of m distinct edges among 0..n-1 (uniform ends, or bench.datasets'
    power law), in random order and orientation, as int32 pairs; written unless `directory`
    holds it already.

    Written in pieces, so that a billion edges need little more memory than a bucket: the
    drawn pairs go to buckets by their smaller end (files beside the result), each bucket
    is made distinct on its own (pairs of different buckets differ), more are drawn until
    m distinct pairs exist, m of them are kept, and the file is written in rounds,
    each a shuffled slice of every bucket."""
    from . import datasets
    path = os.path.join(directory, f"{kind}-{n}-{m}-{seed}.i32")
    if os.path.exists(path):
        return path
    rng = np.random.default_rng(seed)
    ends = datasets.ends_sampler(n, rng, kind)
    buckets = -(-m // BUCKET_EDGES)
    with tempfile.TemporaryDirectory(dir=directory) as tmp:
        names = [os.path.join(tmp, str(b)) for b in range(buckets)]
        counts = np.zeros(buckets, dtype=np.int64)
        while counts.sum() < m:
            missing = int(m - counts.sum())
            for _ in range(-(-missing // BUCKET_EDGES)):
                keys = datasets.pair_keys(n, ends, int(min(missing, BUCKET_EDGES) * 1.1) + 1024)
                bucket = (keys // n * buckets // n).astype(np.uint16)  # radix-sorted: 16 bits
                order = np.argsort(bucket, kind="stable")
                bounds = np.searchsorted(bucket[order], np.arange(buckets + 1))
                for b in range(buckets):
                    with open(names[b], "ab") as out:
                        keys[order[bounds[b]:bounds[b + 1]]].tofile(out)
            for b in range(buckets):
                keys = datasets._sorted_unique(np.fromfile(names[b], dtype=np.int64))
                keys.tofile(names[b])
                counts[b] = keys.size
        # Every bucket keeps its share of the m (numpy's multivariate hypergeometric draw
        # stops at 10**9 pairs); the pairs it keeps are a random subset of its own.
        kept = counts * m // counts.sum()
        kept[np.flatnonzero(counts)[: m - kept.sum()]] += 1
        for b in range(buckets):
            keys = rng.permutation(np.fromfile(names[b], dtype=np.int64))[: kept[b]]
            pairs = np.empty(2 * keys.size, dtype=np.int32)
            flip = rng.random(keys.size) < 0.5
            lo, hi = keys // n, keys % n
            pairs[0::2], pairs[1::2] = np.where(flip, hi, lo), np.where(flip, lo, hi)
            pairs.tofile(names[b])
        with open(path + ".tmp", "wb") as out:
            for r in range(buckets):
                parts = []
                for b in range(buckets):
                    first, last = kept[b] * r // buckets, kept[b] * (r + 1) // buckets
                    parts.append(np.fromfile(names[b], dtype=np.int64, count=last - first, offset=8 * first))
                rng.permutation(np.concatenate(parts)).tofile(out)
    os.replace(path + ".tmp", path)
    return path


def measure(lib: str, path: str, n: int, m: int, threads: int, extended: bool = False) -> dict:
    """The child's report, with per-step and whole-analysis bytes per edge added."""
    command = [sys.executable, "-m", "bench.memory_ceiling", "--child", lib, path, str(n), str(m), str(threads)]
    if extended:
        command.append("--extended")
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    done = subprocess.run(command, capture_output=True, text=True, cwd=root, check=False)
    if done.returncode != 0:
        return {"lib": lib, "n": n, "m": m, "error": (done.stderr.strip().splitlines() or ["killed"])[-1]}
    report = json.loads(done.stdout.strip().splitlines()[-1])
    report["peak_bytes"] = max(step["peak_bytes"] for name, step in report["steps"].items() if name != "build")
    report["process_peak_bytes"] = max(step["peak_bytes"] for step in report["steps"].values())
    report["per_edge"] = {name: step["peak_bytes"] / m for name, step in report["steps"].items()}
    report["peak_per_edge"] = report["peak_bytes"] / m
    return report


def _parse_bytes(text: str) -> int:
    units = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30, "T": 1 << 40}
    text = text.strip().upper().rstrip("B").rstrip("I")
    return int(float(text[:-1]) * units[text[-1]]) if text[-1:] in units else int(text)


def _available_bytes() -> int:
    with open("/proc/meminfo") as meminfo:
        for line in meminfo:
            if line.startswith("MemAvailable:"):
                return int(line.split()[1]) * 1024
    return 0


def fit(points: list[tuple[int, int]]) -> tuple[float, float]:
    """(a, b) of peak = a + b * m, least squares over (m, peak) points."""
    ms = np.array([p[0] for p in points], dtype=np.float64)
    peaks = np.array([p[1] for p in points], dtype=np.float64)
    b, a = np.polyfit(ms, peaks, 1)
    return float(a), float(b)


def ceiling(a: float, b: float, cap: int) -> int:
    """The largest m (whole millions) with a + b * m <= cap, by bisection."""
    lo, hi = 0, 1
    while a + b * hi * 1_000_000 <= cap:
        lo, hi = hi, hi * 2
    while hi - lo > 1:
        mid = (lo + hi) // 2
        lo, hi = (mid, hi) if a + b * mid * 1_000_000 <= cap else (lo, mid)
    return lo * 1_000_000


# What each library's build is given (every one reads the same int32 pair file).
INPUTS = {"arborvane": "from_arrays(int64 u, int64 v)", "graph": "from_edges(int32 views pairs[0::2], pairs[1::2])",
          "graph-int64": "from_edges(int64 u, int64 v)", "networkit": "GraphFromCoo((int64 u, int64 v))"}


def _print_inputs(libs: list[str]) -> None:
    print("inputs: " + "; ".join(f"{lib}: {INPUTS.get(lib, '?')}" for lib in libs), flush=True)


def _print_header(steps: tuple[str, ...]) -> None:
    print("| library | n | m | " + " | ".join(steps) + " | peak B/edge | PageRank s |")
    print("|---|---:|---:|" + "---:|" * (len(steps) + 2), flush=True)


def _print_row(r: dict, steps: tuple[str, ...]) -> None:
    if "error" in r:
        print(f"| {r['lib']} | {r['n']:,} | {r['m']:,} | failed: {r['error']} |", flush=True)
        return
    cells = " | ".join(f"{r['per_edge'][s]:.1f}" for s in steps)
    print(f"| {r['lib']} | {r['n']:,} | {r['m']:,} | {cells} | {r['peak_per_edge']:.1f} | "
          f"{r['steps']['pagerank']['seconds']:.2f} |", flush=True)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="4000000:40000000,16000000:32000000", help="n:m,n:m,...")
    parser.add_argument("--kind", default="uniform", choices=("uniform", "powerlaw"))
    parser.add_argument("--libs", default="arborvane,networkit")
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--extended", action="store_true", help="also core numbers, clustering, betweenness, degrees")
    parser.add_argument("--bisect", metavar="CAP", help="predict the largest m = 10 n graph under CAP bytes")
    parser.add_argument("--verify", action="store_true", help="with --bisect: one real run near the ceiling")
    parser.add_argument("--spare", type=float, default=0.25,
                        help="--verify runs only with the run's predicted peak times 1 + SPARE available "
                             "(0.25; on a machine of CAP bytes nothing runs unless SPARE is at most about 0)")
    parser.add_argument("--random-build", action="store_true",
                        help="arborvane builds uniform graphs with its own build_random (same n and m, not the "
                             "same edges; its sets are sized once, as after a bulk load of a whole graph)")
    parser.add_argument("--edges-dir", help="keep the edge files here (reused by later runs)")
    parser.add_argument("--child", nargs=5, metavar=("LIB", "PATH", "N", "M", "THREADS"), help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.child:
        lib, path, n, m, threads = args.child
        _child(lib, path, int(n), int(m), int(threads), args.extended)
        return 0

    libs = [lib.strip() for lib in args.libs.split(",") if lib.strip()]
    steps = STEPS + (EXTENDED_STEPS if args.extended else ())
    with tempfile.TemporaryDirectory(prefix="arborvane-memory-") as tmp:
        directory = args.edges_dir or tmp
        _print_inputs(libs)
        if not args.bisect:
            _print_header(steps)
            for size in args.sizes.split(","):
                n, m = (int(x) for x in size.split(":"))
                path = write_edges(directory, n, m, args.kind)
                for lib in libs:
                    own = "random" if lib == "arborvane" and args.random_build and args.kind == "uniform" else path
                    _print_row(measure(lib, own, n, m, args.threads, args.extended), steps)
            return 0

        cap = _parse_bytes(args.bisect)
        for kind in ("uniform", "powerlaw"):
            for lib in libs:
                points, reports = [], []
                for n in MODEL_SIZES:
                    path = write_edges(directory, n, 10 * n, kind)
                    report = measure(lib, path, n, 10 * n, args.threads)
                    reports.append(report)
                    if "error" not in report:
                        points.append((10 * n, report["process_peak_bytes"]))
                if len(points) < 2:
                    print(f"{lib} {kind}: too few successful runs to fit")
                    continue
                a, b = fit(points)
                m = ceiling(a, b, cap)
                print(f"{lib} {kind}: peak = {a / 2**20:.0f} MiB + {b:.1f} B/edge * m; "
                      f"predicted ceiling under {cap / 2**30:.1f} GiB: m = {m:,} (n = {m // 10:,})")
                if args.verify:
                    m_run = int(0.95 * m) // 10 * 10
                    if _available_bytes() < (1 + args.spare) * (a + b * m_run):
                        print("  not verified: too little memory available on this machine")
                        continue
                    path = write_edges(directory, m_run // 10, m_run, kind)
                    real = measure(lib, path, m_run // 10, m_run, args.threads)
                    got = real.get("error") or (f"process peak {real['process_peak_bytes'] / 2**30:.2f} GiB, "
                                                f"analysis peak {real['peak_bytes'] / 2**30:.2f} GiB, "
                                                f"{sum(step['seconds'] for step in real['steps'].values()):.0f} s")
                    print(f"  verified at m = {m_run:,}: predicted {(a + b * m_run) / 2**30:.2f} GiB, {got}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
