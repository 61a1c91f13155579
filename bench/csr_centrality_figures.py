"""Clustering and betweenness of arborvane.Graph against the peers.

    PYTHONPATH=build/<name>/pkg python3 bench/csr_centrality_figures.py [--nodes N] [--edges M]
        [--directed] [--repeats R] [--only clustering|betweenness]

A seeded power-law graph (Chung-Lu, degree exponent about 2.5, parallel
edges merged, weights uniform in [0, 1)),
undirected unless --directed. Rows, medians of --repeats runs of wall and
process CPU seconds (all threads), each library in its own process:
- arborvane with 1 and 2 threads: Graph.clustering (unweighted, weighted)
  and Graph.betweenness_centrality (unweighted, weighted); undirected also
  IntGraphCore's clustering and betweenness on the same edges;
- NetworKit (2 threads): local clustering (unweighted; undirected only),
  Betweenness (unweighted, weighted);
- igraph: transitivity_local_undirected (unweighted; undirected only),
  betweenness (unweighted, weighted);
- rustworkx (RAYON_NUM_THREADS=2): betweenness_centrality (unweighted only).
Peers' figures compute their own definitions, which agree with NetworkX
for the unweighted rows. Prints one JSON object with the load average.
"""

import argparse
import json
import os
import subprocess
import sys

import numpy as np
from analytics_figures import median_time


def edges(n, m, kind, seed=42):
    rng = np.random.default_rng(seed)
    if kind == "uniform":
        u, v = rng.integers(0, n, m), rng.integers(0, n, m)
    else:
        cumulative = np.cumsum((np.arange(n) + 1.0) ** -0.67)
        cumulative /= cumulative[-1]
        perm = rng.permutation(n)
        u = perm[np.searchsorted(cumulative, rng.random(m))]
        v = perm[np.searchsorted(cumulative, rng.random(m))]
    key = np.unique(u * n + v)
    u, v = key // n, key % n
    return u, v, rng.random(len(u))


def timed(fn, repeats):
    cpu = []
    wall = median_time(fn, repeats, cpu)
    return {"wall_s": round(wall, 3), "cpu_s": round(cpu[0], 3)}


def run_peer(peer, n, u, v, w, directed, repeats, only):
    rows = {}

    def row(name, fn):
        if only in name:
            rows[name] = timed(fn, repeats)

    if peer.startswith("arborvane"):
        import arborvane

        arborvane.set_num_threads(int(peer.split(":")[1]))
        g = arborvane.from_edges(u, v, weights=w, directed=directed, nodes=np.arange(n), duplicates="min")
        row("clustering", g.clustering)
        row("clustering weighted", lambda: g.clustering(weighted=True))
        row("betweenness", g.betweenness_centrality)
        row("betweenness weighted", lambda: g.betweenness_centrality(weighted=True))
        if not directed:
            core = arborvane.from_arrays(u, v)
            row("IntGraphCore clustering", lambda: arborvane.clustering(core))
            row("IntGraphCore betweenness", lambda: arborvane.betweenness_centrality(core))
    elif peer == "networkit":
        import networkit as nk

        nk.setNumberOfThreads(2)
        h = nk.Graph(n, weighted=True, directed=directed)
        h.addEdges((w, (u, v)))
        h.removeMultiEdges()
        h.removeSelfLoops()
        plain = nk.graphtools.toUnweighted(h)
        if not directed:
            row("clustering", lambda: nk.centrality.LocalClusteringCoefficient(plain).run())
        row("betweenness", lambda: nk.centrality.Betweenness(plain, True).run())
        row("betweenness weighted", lambda: nk.centrality.Betweenness(h, True).run())
    elif peer == "igraph":
        import igraph as ig

        h = ig.Graph(n=n, edges=np.column_stack([u, v]), directed=directed, edge_attrs={"weight": w})
        h.simplify(combine_edges="min")
        if not directed:
            row("clustering", lambda: h.transitivity_local_undirected(mode="zero"))
        row("betweenness", lambda: h.betweenness(directed=directed))
        row("betweenness weighted", lambda: h.betweenness(directed=directed, weights="weight"))
    elif peer == "rustworkx":
        import rustworkx as rx

        h = rx.PyDiGraph() if directed else rx.PyGraph()
        h.add_nodes_from(range(n))
        h.add_edges_from_no_data(list(zip(u.tolist(), v.tolist())))
        row("betweenness", lambda: rx.betweenness_centrality(h, parallel_threshold=0))
    return rows


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--nodes", type=int, default=20_000)
    parser.add_argument("--edges", type=int, default=100_000)
    parser.add_argument("--directed", action="store_true")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--peers", default="arborvane:1,arborvane:2,networkit,igraph,rustworkx")
    parser.add_argument("--only", default="", help="only the rows whose name holds this")
    parser.add_argument("--one", help=argparse.SUPPRESS)
    args = parser.parse_args()
    n = args.nodes
    if args.one:
        u, v, w = edges(n, args.edges, "powerlaw")
        print(json.dumps(run_peer(args.one, n, u, v, w, args.directed, args.repeats, args.only)))
        return
    load_before = os.getloadavg()
    result = {}
    for peer in args.peers.split(","):
        command = [sys.executable, __file__, "--one", peer, "--nodes", str(n), "--edges", str(args.edges),
                   "--repeats", str(args.repeats), "--only", args.only] + (["--directed"] if args.directed else [])
        done = subprocess.run(command, capture_output=True, text=True, env={**os.environ, "RAYON_NUM_THREADS": "2"})
        result[peer] = json.loads(done.stdout) if done.returncode == 0 else {"error": done.stderr[-300:]}
    print(json.dumps({"nodes": n, "edges": args.edges, "directed": args.directed,
                      "load": [load_before, os.getloadavg()], "rows": result}, indent=1))


if __name__ == "__main__":
    main()
