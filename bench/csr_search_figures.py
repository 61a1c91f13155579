"""Searches of arborvane.Graph against the peers on one directed graph.

    PYTHONPATH=build/<name>/pkg python3 bench/csr_search_figures.py [--nodes N] [--edges M]
        [--kind uniform|powerlaw] [--repeats R] [--peers arborvane,networkit,igraph,rustworkx]

The graph (seeded): M directed edges between N nodes, endpoints uniform, or
"powerlaw": both endpoints drawn with probability proportional to
(rank + 1)^-0.67 (Chung-Lu, degree exponent about 2.5) over a random
permutation of the nodes; parallel edges merged (numpy.unique), weights
uniform in [0, 1). Every library gets the same merged edge arrays.
Rows, medians of --repeats runs of wall and process CPU seconds (all
threads): dijkstra (weighted, from the node of largest out-degree), bfs
(hops from it), wcc (weakly connected components). Each library runs in
its own process, so the resident memory of one never adds to another's;
arborvane runs with 1 and 2 threads. Prints one JSON object with the
machine's load average before and after.
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


def run_peer(peer, n, u, v, w, source, repeats):
    rows = {}
    if peer.startswith("arborvane"):
        import arborvane

        arborvane.set_num_threads(int(peer.split(":")[1]))
        g = arborvane.from_edges(u, v, weights=w, directed=True, nodes=np.arange(n))
        rows["dijkstra"] = timed(lambda: g.dijkstra(source), repeats)
        rows["bfs"] = timed(lambda: g.bfs_distances(source), repeats)
        rows["wcc"] = timed(g.weakly_connected_components, repeats)
    elif peer == "networkit":
        import networkit as nk

        nk.setNumberOfThreads(2)
        h = nk.Graph(n, weighted=True, directed=True)
        h.addEdges((w, (u, v)))
        rows["dijkstra"] = timed(lambda: nk.distance.Dijkstra(h, source, storePaths=False).run().getDistances(),
                                 repeats)
        rows["bfs"] = timed(lambda: nk.distance.BFS(h, source, storePaths=False).run().getDistances(), repeats)
        rows["wcc"] = timed(lambda: nk.components.WeaklyConnectedComponents(h).run(), repeats)
    elif peer == "igraph":
        import igraph as ig

        h = ig.Graph(n=n, edges=np.column_stack([u, v]), directed=True, edge_attrs={"weight": w})
        rows["dijkstra"] = timed(lambda: h.distances(source, weights="weight"), repeats)
        rows["bfs"] = timed(lambda: h.distances(source), repeats)
        rows["wcc"] = timed(lambda: h.connected_components(mode="weak"), repeats)
    elif peer == "rustworkx":
        import rustworkx as rx

        h = rx.PyDiGraph()
        h.add_nodes_from(range(n))
        h.add_edges_from(list(zip(u.tolist(), v.tolist(), w.tolist())))
        rows["dijkstra"] = timed(lambda: rx.digraph_dijkstra_shortest_path_lengths(h, source, edge_cost_fn=float),
                                 repeats)
        rows["bfs"] = timed(lambda: rx.bfs_layers(h, [source]), repeats)
        rows["wcc"] = timed(lambda: rx.weakly_connected_components(h), repeats)
    return rows


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--nodes", type=int, default=1_000_000)
    parser.add_argument("--edges", type=int, default=10_000_000)
    parser.add_argument("--kind", choices=["uniform", "powerlaw"], default="powerlaw")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--peers", default="arborvane:1,arborvane:2,networkit,igraph,rustworkx")
    parser.add_argument("--one", help=argparse.SUPPRESS)
    args = parser.parse_args()
    n = args.nodes
    if args.one:
        u, v, w = edges(n, args.edges, args.kind)
        source = int(np.argmax(np.bincount(u, minlength=n)))
        rows = run_peer(args.one, n, u, v, w, source, args.repeats)
        import resource

        rows["max_rss_gib"] = round(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 2**20, 2)
        print(json.dumps(rows))
        return
    load_before = os.getloadavg()
    result = {}
    for peer in args.peers.split(","):
        command = [sys.executable, __file__, "--one", peer, "--nodes", str(n), "--edges", str(args.edges),
                   "--kind", args.kind, "--repeats", str(args.repeats)]
        done = subprocess.run(command, capture_output=True, text=True)
        result[peer] = json.loads(done.stdout) if done.returncode == 0 else {"error": done.stderr[-300:]}
    print(json.dumps({"nodes": n, "edges": args.edges, "kind": args.kind, "load": [load_before, os.getloadavg()],
                      "rows": result}, indent=1))


if __name__ == "__main__":
    main()
