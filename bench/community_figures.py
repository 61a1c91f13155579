"""Community detection against the peers: modularity, CPU and wall time, NMI.

Two modes:

  python -m bench.community_figures graphs --graph medium powerlaw-medium \
      --methods louvain leiden lp nk-plm nk-leiden ig-multilevel ig-leiden --threads 1 2 --seeds 1 2 3
  python -m bench.community_figures lfr --mu 0.3 0.4 0.5 0.6 --graphs 8

``graphs`` runs each method on the seeded benchmark graphs of bench/datasets.py
(``--data`` holds the generated files), every (method, threads) in a fresh
process that loads the graph untimed and then times each seed's run: CPU
seconds of the whole process (all its threads) and wall seconds. The parent
scores every partition with arborvane's modularity (NetworkX's definition),
so all methods are scored by the same code. ``--weighted`` gives the edges
the weights of the benchmark's weighted workloads (uniform in [0, 1)).

``lfr`` scores the methods on NetworkX's LFR benchmark graphs by the
normalised mutual information (arithmetic mean) with the planted
communities, and by modularity, averaged over the graphs (each method run
with the graph's seed); then every method's differences from each of
arborvane's, graph by graph, as a mean and its standard error.
"""
from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

from bench import datasets

OURS = {"louvain": "louvain_communities", "leiden": "leiden_communities", "lp": "label_propagation_communities"}
PEERS = ("nk-plm", "nk-leiden", "ig-multilevel", "ig-leiden")


def _edges(args):
    data = np.load(datasets.ensure(args.data, datasets.SIZES[args.graph]))
    u, v, n = data["u"], data["v"], int(data["n"])
    w = np.random.default_rng(1).random(u.size) if args.weighted else None
    return n, u, v, w


def _our_graph(u, v, w):
    """arborvane's graph of the edges (an IntGraphCore, or a weighted Graph) and its node ids in label order."""
    import arborvane

    if w is None:
        g = arborvane.IntGraphCore()
        g.add_edges_flat(np.column_stack([u, v]).reshape(-1))
        return g, arborvane.node_array(g)
    g = arborvane.from_edges(u, v, weights=w)
    return g, np.asarray(g.labels)


def _detector(method: str, threads: int, n, u, v, w):
    """detect(seed) -> labels indexed by node id, with the graph built here (untimed)."""
    if method in OURS:
        import arborvane

        arborvane.set_num_threads(threads)
        g, ids = _our_graph(u, v, w)
        run = getattr(arborvane, OURS[method])

        def detect(seed):
            labels = run(g, seed=seed)[1]
            out = np.empty(n, dtype=np.int64)
            out[ids] = labels
            return out

        return detect
    if method.startswith("nk-"):
        import networkit as nk

        nk.setNumberOfThreads(threads)
        g = nk.GraphFromCoo((w, (u, v)), n, weighted=True) if w is not None else nk.GraphFromCoo((u, v), n=n)

        def detect(seed):
            nk.setSeed(seed, False)
            algo = nk.community.PLM(g, refine=False) if method == "nk-plm" else nk.community.ParallelLeiden(g)
            algo.run()
            return np.asarray(algo.getPartition().getVector(), dtype=np.int64)

        return detect
    import random

    import igraph as ig

    g = ig.Graph(n=n, edges=np.column_stack([u, v]), edge_attrs={"weight": w} if w is not None else {})
    weights = "weight" if w is not None else None

    def detect(seed):
        random.seed(seed)  # igraph draws from Python's random module
        if method == "ig-multilevel":
            return np.asarray(g.community_multilevel(weights=weights).membership, dtype=np.int64)
        return np.asarray(g.community_leiden(objective_function="modularity", weights=weights).membership,
                          dtype=np.int64)

    return detect


def one(args):
    """Child: time one method at one thread count on one graph for each seed."""
    import resource

    n, u, v, w = _edges(args)
    detect = _detector(args.methods[0], args.threads[0], n, u, v, w)
    del u, v, w
    for seed in args.seeds:
        cpu, wall = time.process_time(), time.perf_counter()
        labels = detect(seed)
        cpu, wall = time.process_time() - cpu, time.perf_counter() - wall
        path = os.path.join(args.out, f"{seed}.npy")
        np.save(path, labels)
        rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
        print(json.dumps({"seed": seed, "cpu": cpu, "wall": wall, "labels": path, "rss_mib": rss}), flush=True)


def graphs(args):
    import arborvane

    for name in args.graph:
        sub = argparse.Namespace(**{**vars(args), "graph": name})
        n, u, v, w = _edges(sub)
        g, ids = _our_graph(u, v, w)
        del u, v, w
        print(f"# {name}{' weighted' if args.weighted else ''}, load {os.getloadavg()[0]:.1f}", flush=True)
        for method in args.methods:
            for threads in args.threads:
                if method.startswith("ig-") and threads != args.threads[0]:
                    continue  # igraph runs on one thread
                with tempfile.TemporaryDirectory() as out:
                    command = [sys.executable, "-m", "bench.community_figures", "one", "--data", args.data,
                               "--graph", name, "--methods", method, "--threads", str(threads), "--out", out,
                               "--seeds", *map(str, args.seeds)] + (["--weighted"] if args.weighted else [])
                    proc = subprocess.run(command, capture_output=True, text=True)
                    if proc.returncode:
                        print(f"{method} t={threads}: failed\n{proc.stderr[-2000:]}", flush=True)
                        continue
                    runs = [json.loads(line) for line in proc.stdout.splitlines() if line.startswith("{")]
                    for r in runs:
                        r["q"] = arborvane.modularity(g, np.load(r["labels"])[ids])
                cpu = statistics.median(r["cpu"] for r in runs)
                wall = statistics.median(r["wall"] for r in runs)
                q = statistics.median(r["q"] for r in runs)
                each = " ".join(f"{r['q']:.4f}/{r['cpu']:.2f}" for r in runs)
                print(f"{method:14s} t={threads} Q {q:.4f} cpu {cpu:7.2f} wall {wall:7.2f} "
                      f"rss {max(r['rss_mib'] for r in runs):.0f} MiB load {os.getloadavg()[0]:.1f}  [{each}]",
                      flush=True)


def nmi(a, b) -> float:
    """Normalised mutual information of two labelings, arithmetic-mean normalisation."""
    a = np.unique(a, return_inverse=True)[1]
    b = np.unique(b, return_inverse=True)[1]
    k = int(b.max()) + 1
    pairs, counts = np.unique(a * k + b, return_counts=True)
    joint = counts / a.size
    pa, pb = np.bincount(a) / a.size, np.bincount(b) / a.size
    ha, hb = -(pa * np.log(pa)).sum(), -(pb * np.log(pb)).sum()
    mutual = (joint * np.log(joint / (pa[pairs // k] * pb[pairs % k]))).sum()
    return 1.0 if ha + hb == 0 else float(2 * mutual / (ha + hb))


def lfr(args):
    import networkx as nx

    import arborvane

    cache = os.path.join(args.data, "lfr")
    os.makedirs(cache, exist_ok=True)
    print(f"# LFR n={args.n} tau1=3 tau2=1.5 average_degree={args.degree} max_degree={args.max_degree} "
          f"min_community={args.min_community}, load {os.getloadavg()[0]:.1f}")
    for mu in args.mu:
        scores = {m: ([], []) for m in args.methods}
        made = 0
        seed = 0
        while made < args.graphs and seed < 10 * args.graphs:
            seed += 1
            path = os.path.join(cache, f"{args.n}-{args.degree}-{args.max_degree}-{args.min_community}-{mu}-{seed}.npz")
            if not os.path.exists(path):
                try:
                    h = nx.LFR_benchmark_graph(args.n, 3, 1.5, mu, average_degree=args.degree,
                                               max_degree=args.max_degree, min_community=args.min_community,
                                               seed=seed)
                except nx.ExceededMaxIterations:
                    continue
                edges = np.array([(a, b) for a, b in h.edges() if a != b], dtype=np.int64)
                planted = np.array([min(h.nodes[v]["community"]) for v in range(args.n)], dtype=np.int64)
                np.savez(path, edges=edges, planted=planted)
            data = np.load(path)
            made += 1
            u, v, planted = data["edges"][:, 0], data["edges"][:, 1], data["planted"]
            g = arborvane.IntGraphCore()
            g.add_edges_flat(data["edges"].reshape(-1))
            ids = arborvane.node_array(g)
            for method in args.methods:
                labels = _detector(method, 1, args.n, u, v, None)(seed)
                scores[method][0].append(nmi(labels[ids], planted[ids]))
                scores[method][1].append(arborvane.modularity(g, labels[ids]))
        cells = "  ".join(f"{m} {np.mean(s[0]):.4f} ({np.mean(s[1]):.4f})" for m, s in scores.items())
        print(f"mu {mu}: {made} graphs  NMI (Q): {cells}", flush=True)
        # Differences graph by graph from each of our methods, with their
        # standard errors: whether a gap in the means above stands out of the
        # spread between graphs.
        for ours in (m for m in args.methods if m in OURS and made > 1):
            cells = "  ".join(f"{m} NMI {_paired(s[0], scores[ours][0])} Q {_paired(s[1], scores[ours][1])}"
                              for m, s in scores.items() if m != ours)
            print(f"mu {mu}: against {ours}, mean difference +- standard error: {cells}", flush=True)


def _paired(a, b) -> str:
    d = np.asarray(a) - np.asarray(b)
    return f"{d.mean():+.4f} +- {d.std(ddof=1) / np.sqrt(d.size):.4f}"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("mode", choices=("graphs", "lfr", "one"))
    parser.add_argument("--data", default=os.environ.get("BENCH_DATA", "/tmp/commdata"))
    parser.add_argument("--graph", nargs="+", default=["medium"])
    parser.add_argument("--methods", nargs="+", default=["louvain", "leiden", *PEERS])
    parser.add_argument("--threads", nargs="+", type=int, default=[1])
    parser.add_argument("--seeds", nargs="+", type=int, default=[1])
    parser.add_argument("--weighted", action="store_true")
    parser.add_argument("--out")
    parser.add_argument("--mu", nargs="+", type=float, default=[0.3, 0.4, 0.5, 0.6])
    parser.add_argument("--graphs", type=int, default=8)
    parser.add_argument("--n", type=int, default=1000)
    parser.add_argument("--degree", type=float, default=20)
    parser.add_argument("--max-degree", type=int, default=50)
    parser.add_argument("--min-community", type=int, default=20)
    args = parser.parse_args(argv)
    if args.mode == "one":
        args.graph = args.graph[0]
        one(args)
    else:
        {"graphs": graphs, "lfr": lfr}[args.mode](args)


if __name__ == "__main__":
    main()
