"""Figures of arborvane.Graph (directed, weighted) against the peers.

    PYTHONPATH=build/<name>/pkg python3 bench/directed_weighted_figures.py [--nodes N] [--edges M]

On one random directed graph with uniform weights in [0, 1) (seeded), each
row is the median of --repeats runs, wall and process CPU seconds (CPU is
the steadier figure on a shared machine):
- build: arborvane.from_edges from int64 arrays; the peers' graph
  construction from the same arrays (not part of the kernel rows);
- dijkstra: single-source distances from node 0 to every node;
- pagerank: directed weighted PageRank, alpha 0.85, tol 1e-6 as each
  library reads it (NetworkX's rule for arborvane; the peers' own rules,
  so their iteration counts differ: igraph PRPACK solves the system);
- bytes/edge: the Graph's arrays (both rows) per edge, unweighted, float64
  and float32 weights;
- labels: from_edges on the same edges with string labels "n<id>", object
  arrays (pandas.factorize) and numpy unicode arrays (numpy.unique), minus
  the int64 build.
Peers that are not installed are skipped. Prints one JSON object.
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
    parser.add_argument("--skip-labels", action="store_true")
    args = parser.parse_args()
    import arborvane

    rng = np.random.default_rng(42)
    n, m = args.nodes, args.edges
    u, v = rng.integers(0, n, m), rng.integers(0, n, m)
    w = rng.random(m)
    rows = {}
    rows["arborvane build"], g = timed(lambda: arborvane.from_edges(u, v, weights=w, directed=True), args.repeats)
    m_merged = g.number_of_edges()
    memory = {
        "unweighted": graph_bytes(arborvane.from_edges(u, v, directed=True)) / m_merged,
        "float64": graph_bytes(g) / m_merged,
        "float32": graph_bytes(arborvane.from_edges(u, v, weights=w, directed=True, weight_dtype=np.float32)) / m_merged,
    }
    source = g.labels[0]
    rows["arborvane dijkstra"], ours = timed(lambda: g.dijkstra(source)[1], args.repeats)
    rows["arborvane pagerank"], _ = timed(lambda: g.pagerank(), args.repeats)
    # The peers get the merged edge list, so every library sees one graph.
    eu, ev, ew = (np.asarray(a) for a in g.edges())

    try:
        import networkit as nk

        def nk_build():
            h = nk.Graph(n, weighted=True, directed=True)
            h.addEdges((ew, (eu, ev)))
            return h

        rows["networkit build"], h = timed(nk_build, 1)

        def nk_dijkstra():
            d = nk.distance.Dijkstra(h, int(source), storePaths=False)
            d.run()
            return np.asarray(d.getDistances())

        rows["networkit dijkstra"], theirs = timed(nk_dijkstra, args.repeats)
        reach = np.isfinite(ours)
        rows["networkit dijkstra"]["agrees"] = bool(np.allclose(ours[reach], theirs[reach]))
        rows["networkit pagerank"], _ = timed(lambda: nk.centrality.PageRank(h, 0.85, 1e-6).run(), args.repeats)
    except ImportError:
        pass
    try:
        import igraph as ig

        rows["igraph build"], h = timed(
            lambda: ig.Graph(n=n, edges=np.column_stack([eu, ev]).tolist(), directed=True, edge_attrs={"weight": ew}), 1
        )
        rows["igraph dijkstra"], _ = timed(lambda: h.distances(int(source), weights="weight"), args.repeats)
        rows["igraph pagerank"], _ = timed(lambda: h.pagerank(directed=True, weights="weight"), args.repeats)
    except ImportError:
        pass
    try:
        import rustworkx as rx

        def rx_build():
            h = rx.PyDiGraph()
            h.add_nodes_from(range(n))
            h.add_edges_from(list(zip(eu.tolist(), ev.tolist(), ew.tolist())))
            return h

        rows["rustworkx build"], h = timed(rx_build, 1)
        rows["rustworkx dijkstra"], _ = timed(
            lambda: rx.digraph_dijkstra_shortest_path_lengths(h, int(source), edge_cost_fn=float), args.repeats
        )
        rows["rustworkx pagerank"], _ = timed(lambda: rx.pagerank(h, alpha=0.85, weight_fn=float, tol=1e-6),
                                              args.repeats)
    except ImportError:
        pass
    labels = {}
    if not args.skip_labels:
        names = np.char.add("n", u.astype(str)), np.char.add("n", v.astype(str))
        obj = names[0].astype(object), names[1].astype(object)
        base = rows["arborvane build"]
        for name, (a, b) in (("object strings", obj), ("numpy unicode", names)):
            t, _ = timed(lambda: arborvane.from_edges(a, b, weights=w, directed=True), 1)
            labels[name] = {f"extra_{k}": round(t[k] - base[k], 3) for k in t}
    print(json.dumps({"nodes": n, "edges": m, "merged_edges": m_merged, "rows": rows,
                      "bytes_per_edge": memory, "label_mapping": labels}, indent=1))


if __name__ == "__main__":
    main()
