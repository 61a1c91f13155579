"""How soon each public call ends after Ctrl-C.

A child interpreter builds the graphs and files, then runs one call after
another, each repeated until it is interrupted; this process sends it a
real SIGINT (what Ctrl-C sends) `--after` seconds into every try (give or
take half of it, so that the tries land in different phases of a call) and
measures, on the shared monotonic clock, the time from the signal to the
KeyboardInterrupt reaching the child's Python code. The signal comes from
another process because the core class's methods keep the interpreter lock
while they run (by design), so no thread of the measured process could
time them. The first column says how long one uninterrupted call takes
("> after" when the signal always came first, i.e. the call runs longer).
Calls shorter than that run again and again; a signal that lands while the
previous call's result is being freed (not interruptible) waits for that.

    PYTHONPATH=build/<name>/pkg python3 bench/interrupt_figures.py [--scale S] [--after A] [--tries T] [--only NAME]
"""

import argparse
import os
import random
import signal
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time

# Graphs and files the calls use; `S` scales the sizes (1.0: about 4 GiB
# of memory in all).
SETUP = r"""
import bz2, collections.abc, warnings
import numpy as np, scipy.sparse
import arborvane as av
from arborvane import IntGraphCore
warnings.simplefilter("ignore", av.PowerIterationFailedConvergence)
n, m = int(1_000_000 * S), int(10_000_000 * S)
g = IntGraphCore(); g.build_random(n, m, 1)
edges = av.edge_array(g); u, v = edges[:, 0].copy(), edges[:, 1].copy()
A, A_ids = av.to_scipy_sparse(g)
tmp = TMP
binary, text, packed = tmp + "/g.avg", tmp + "/g.txt", tmp + "/g.txt.bz2"
av.save(g, binary)
av.write_edgelist(g, text)
with open(text, "rb") as f, bz2.open(packed, "wb", compresslevel=1) as out:
    head = f.read(int(40_000_000 * S))
    out.write(head[: head.rfind(b"\n") + 1])
dense = av.from_arrays(*np.triu_indices(2500, 1))  # a complete graph: the dense intersections
sparse = IntGraphCore(); sparse.build_random(int(20_000 * S) or 1000, int(100_000 * S) or 5000, 2)
ring = IntGraphCore(); ring.add_edges_flat([x for i in range(n) for x in (i, (i + 1) % n)])
grown = IntGraphCore()
# arborvane.Graph: the same edges with weights, undirected and directed; a
# weighted complete graph for the dense clustering; the sparse graph's edges.
w = np.random.default_rng(1).uniform(0.5, 2.0, len(u))
G, D = av.from_edges(u, v, weights=w), av.from_edges(u, v, weights=w, directed=True)
G_rows, G_x = G.csr(), np.full(len(G), 1.0)
scattered = np.random.default_rng(4).integers(-2**63, 2**63 - 1, n, endpoint=True)  # random 64-bit ids
su, sv = scattered[u % n], scattered[v % n]
i, j = np.triu_indices(2500, 1)
dense_G = av.from_edges(i, j, weights=np.random.default_rng(2).uniform(0.5, 2.0, len(i)))
sparse_u, sparse_v = av.edge_array(sparse).T
sparse_G = av.from_edges(sparse_u, sparse_v, weights=np.random.default_rng(3).uniform(0.5, 2.0, len(sparse_u)))


class Pairs(collections.abc.Sequence):  # a lazy sequence of a trillion id pairs
    def __len__(self):
        return 10**12

    def __getitem__(self, i):
        return (i % n, i * 7919 % n)
"""

# name -> call (repeated until the signal cuts one)
CALLS = {
    "node_array": "av.node_array(g)",
    "degree_array": "av.degree_array(g)",
    "edge_array": "av.edge_array(g)",
    "pagerank_array (tol 0)": "av.pagerank_array(g, tol=0.0, max_iter=10**9)",
    "from_arrays": "av.from_arrays(u, v)",
    "to_scipy_sparse": "(g.add_node(-1), av.to_scipy_sparse(g))",
    "from_scipy_sparse": "av.from_scipy_sparse(A, A_ids)",
    "read_edgelist": "av.read_edgelist(text)",
    "read_edgelist (.bz2)": "av.read_edgelist(packed)",
    "write_edgelist": "av.write_edgelist(g, tmp + '/out.txt')",
    "write_edgelist (.gz)": "av.write_edgelist(g, tmp + '/out.txt.gz')",
    "write_edgelist (.bz2)": "av.write_edgelist(g, tmp + '/out.txt.bz2')",
    "write_edgelist (.xz)": "av.write_edgelist(g, tmp + '/out.txt.xz')",
    "save": "(g.add_node(-1), av.save(g, tmp + '/out.avg'))",
    "load": "av.load(binary)",
    "component_labels": "(g.add_node(-1), av.component_labels(g))",
    "bfs_distances (ring)": "av.bfs_distances(ring, 0)",
    "core_number": "(g.add_node(-1), av.core_number(g))",
    "clustering (K2500)": "(dense.add_node(-1), av.clustering(dense))",
    "average_clustering (K2500)": "(dense.add_node(-1), av.average_clustering(dense))",
    "transitivity (K2500)": "(dense.add_node(-1), av.transitivity(dense))",
    "betweenness_centrality": "av.betweenness_centrality(sparse)",
    "IntGraphCore.pagerank (tol 0)": "g.pagerank(max_iter=10**9, tol=0.0)",
    "IntGraphCore.triangle_count (K2500)": "(dense.add_node(-1), dense.triangle_count())",
    "IntGraphCore.connected_component_sizes": "(g.add_node(-1), g.connected_component_sizes())",
    "IntGraphCore.shortest_path_length (ring)": "ring.shortest_path_length(0, n // 2)",
    # Into a graph that outlives the call: freeing a large graph is not
    # interruptible, and would be measured instead.
    "IntGraphCore.build_random": "grown.build_random(10**7, 2 * 10**7, 5)",
    "IntGraphCore.add_edges_flat (range)": "IntGraphCore().add_edges_flat(range(10**12))",
    "IntGraphCore.add_nodes_from (range)": "IntGraphCore().add_nodes_from(range(10**12))",
    "IntGraphCore.has_edges (lazy sequence)": "g.has_edges(Pairs())",
    "IntGraphCore.subgraph_edge_count (range)": "g.subgraph_edge_count(range(10**11))",
    "from_edges (weighted)": "av.from_edges(u, v, weights=w)",
    "from_edges (directed, weighted)": "av.from_edges(u, v, weights=w, directed=True)",
    "from_edges (random 64-bit ids)": "av.from_edges(su, sv)",
    "Graph.pagerank (tol 0)": "D.pagerank(max_iter=10**9, tol=0.0)",
    "Graph.dijkstra": "D.dijkstra(0)",
    "Graph.strongly_connected_components": "D.strongly_connected_components()",
    "Graph.betweenness_centrality (weighted)": "sparse_G.betweenness_centrality(weighted=True)",
    "Graph.clustering(weighted=True)": "G.clustering(weighted=True)",
    "Graph.clustering(weighted=True) (K2500)": "dense_G.clustering(weighted=True)",
    "louvain_communities (weighted Graph)": "av.louvain_communities(G, seed=1, iterations=10**9)",
    "leiden_communities (weighted Graph)": "av.leiden_communities(G, seed=1, iterations=10**9)",
    "_arrays.csr_matvec": "av._native.arrays.csr_matvec(*G_rows, G_x, 0.0)",
}

CHILD = """
import sys, time
S, TMP = {scale!r}, {tmp!r}
{setup}
print("ready", flush=True)
for name, call in {calls!r}:
    code = compile(call, name, "eval")
    for _ in range({tries}):
        single = None
        print("start", flush=True)
        try:
            while True:
                began = time.perf_counter()
                eval(code)
                single = single or time.perf_counter() - began
        except KeyboardInterrupt:
            print("stopped", time.perf_counter(), single, flush=True)
        except Exception as exc:  # reported, and the signal still to come is absorbed
            print("failed", repr(exc).replace(" ", "_"), flush=True)
            try:
                time.sleep(60)
            except KeyboardInterrupt:
                pass
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=1.0, help="graph sizes (1.0: 1M nodes, 10M edges)")
    parser.add_argument("--after", type=float, default=2.0, help="seconds from the start of a try to the signal")
    parser.add_argument("--tries", type=int, default=3)
    parser.add_argument("--only", action="append", help="run only calls whose name contains this (repeatable)")
    args = parser.parse_args()
    calls = [(name, call) for name, call in CALLS.items() if not args.only or any(o in name for o in args.only)]
    with tempfile.TemporaryDirectory(dir=os.environ.get("ARBORVANE_BENCH_TMP")) as tmp:
        code = CHILD.format(scale=args.scale, tmp=tmp, setup=textwrap.dedent(SETUP), calls=calls, tries=args.tries)
        child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True)
        try:
            if child.stdout.readline().strip() != "ready":
                sys.exit("the child failed to set up")
            print(f"signal {args.after} s (+- 50%) into each try, {args.tries} tries, "
                  f"RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', 'unset')}")
            for name, _ in calls:
                latencies, singles = [], []
                for _ in range(args.tries):
                    assert child.stdout.readline().strip() == "start"
                    time.sleep(args.after * random.uniform(0.5, 1.5))
                    sent = time.perf_counter()
                    os.kill(child.pid, signal.SIGINT)
                    word, *rest = child.stdout.readline().split()
                    if word == "failed":
                        sys.exit(f"{name}: {rest[0]}")
                    stopped, single = rest
                    latencies.append(float(stopped) - sent)
                    if single != "None":
                        singles.append(float(single))
                one = f"{statistics.median(singles):.2f} s" if singles else f"> {args.after:.1f} s"
                print(f"{name:42} one call {one:>9}   latency median {statistics.median(latencies) * 1e3:6.1f} ms, "
                      f"max {max(latencies) * 1e3:6.1f} ms", flush=True)
        finally:
            child.kill()
            child.wait()


if __name__ == "__main__":
    main()
