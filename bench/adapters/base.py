"""Shared pieces of the library adapters."""
from __future__ import annotations

import hashlib
import os
import pickle
from dataclasses import dataclass, field
from itertools import chain
from typing import Any, Callable

import numpy as np

Workload = tuple[Callable[[], Any], Callable[[Any], Any]]

# Workload key -> row label, in table order. The build rows come first because the
# memory probe builds the graph that every later workload runs on.
WORKLOADS = {
    "build_list": "build from Python list",
    "build_numpy": "build from numpy arrays",
    "generate": "random G(n, m) generation",
    "pagerank": "PageRank, tol 1e-6",
    "pagerank20": "PageRank, 20 iterations",
    "triangles": "triangle count",
    "components": "connected component sizes",
    "distance": "BFS distance, far pair",
    "distance_pairs": "BFS distance, 20 random pairs",
    "membership": "edge membership, 1M pairs",
    "export_pairs": "export edges: list of pairs",
    "export_flat": "export edges: flat list",
    # Data in and out (numpy, SciPy, files).
    "export_numpy": "export edges: numpy array",
    "export_scipy": "export adjacency: SciPy sparse",
    "save_binary": "save to a binary file",
    "load_binary": "load from a binary file",
    "read_text": "read an edge-list text file",
    # Per-node analytics (arborvane.analytics).
    "component_labels": "component label of every node",
    "bfs_all": "BFS distances from one node to all",
    "core_number": "core numbers (k-cores)",
    "clustering": "local clustering coefficients",
    "avg_clustering": "average clustering",
    "transitivity": "transitivity",
    "betweenness": "betweenness, 16 sampled sources",
    "betweenness_all": "betweenness, every node a source",
    # Community detection (arborvane.communities).
    "communities": "communities: Louvain",
    "communities_leiden": "communities: Leiden",
    # Directed graphs with float64 weights (arborvane.Graph): the data's edges u -> v,
    # weights Context.weights().
    "directed_build": "directed weighted: build from numpy arrays",
    "directed_dijkstra": "directed weighted: Dijkstra, one source to all",
    "directed_bfs": "directed: BFS hops, one source to all",
    "directed_weak": "directed: weakly connected components",
    "directed_strong": "directed: strongly connected components",
    "directed_pagerank": "directed weighted: PageRank, tol 1e-6",
    "directed_degrees": "directed: in- and out-degrees",
    "directed_clustering": "directed: local clustering (Fagiolo)",
    "directed_clustering_weighted": "directed weighted: local clustering",
    "directed_betweenness": "directed: betweenness, every node a source",
    "directed_betweenness_weighted": "directed weighted: betweenness, every node a source",
    # Undirected graphs with float64 weights (arborvane.Graph): the data's edges,
    # weights Context.weights(); the unweighted rows ignore the weights.
    "graph_build": "undirected weighted: build from numpy arrays",
    "graph_build_ids": "undirected: build from random 64-bit ids",
    "graph_components": "undirected Graph: connected components",
    "graph_triangles": "undirected Graph: triangle count",
    "graph_cores": "undirected Graph: core numbers",
    "graph_clustering": "undirected Graph: local clustering",
    "graph_clustering_weighted": "undirected weighted: local clustering",
    "graph_transitivity": "undirected Graph: transitivity",
    "graph_betweenness": "undirected Graph: betweenness, every node a source",
    "graph_betweenness_weighted": "undirected weighted: betweenness, every node a source",
    "weighted_louvain": "undirected weighted: communities, Louvain",
    "weighted_leiden": "undirected weighted: communities, Leiden",
}

#: The workloads on the directed weighted graph (built untimed by ``directed_build``).
DIRECTED = ("directed_dijkstra", "directed_bfs", "directed_weak", "directed_strong", "directed_pagerank",
            "directed_degrees", "directed_clustering", "directed_clustering_weighted", "directed_betweenness",
            "directed_betweenness_weighted")

#: The workloads on the undirected weighted graph (built untimed by ``graph_build``).
GRAPH = ("graph_components", "graph_triangles", "graph_cores", "graph_clustering", "graph_clustering_weighted",
         "graph_transitivity", "graph_betweenness", "graph_betweenness_weighted", "weighted_louvain",
         "weighted_leiden")

#: The workload that builds, untimed, the graph each of those rows runs on.
BUILT_BY = {**{key: "directed_build" for key in DIRECTED}, **{key: "graph_build" for key in GRAPH}}

#: Workloads with every node a source: their cost grows with nodes x edges.
ALL_SOURCES = ("betweenness_all", "directed_betweenness", "directed_betweenness_weighted", "graph_betweenness",
               "graph_betweenness_weighted")

#: Sources of the sampled betweenness row (the row label above says so too).
BETWEENNESS_SOURCES = 16

PAGERANK_TOL = 1e-6
DAMPING = 0.85


@dataclass
class Context:
    """Everything a workload may need about the graph under test."""

    n: int
    u: np.ndarray
    v: np.ndarray
    source: int
    target: int
    pairs: list  # [(s, t)] random distance queries
    qa: np.ndarray
    qb: np.ndarray
    seed: int
    out_dir: str
    size_nodes: int  # G(n, m) generation uses the nominal size, not the compacted n
    size_edges: int
    cache: dict = field(default_factory=dict)
    data_path: str = ""  # the size's data file; derived files are cached beside it

    @property
    def m(self) -> int:
        return int(self.u.size)

    def pair_list(self) -> list[tuple[int, int]]:
        if "pairs" not in self.cache:
            self.cache["pairs"] = list(zip(self.u.tolist(), self.v.tolist()))
        return self.cache["pairs"]

    def query_list(self) -> list[tuple[int, int]]:
        if "queries" not in self.cache:
            self.cache["queries"] = list(zip(self.qa.tolist(), self.qb.tolist()))
        return self.cache["queries"]

    def betweenness_sources(self) -> list[int]:
        """BETWEENNESS_SOURCES distinct nodes drawn with the run's seed, for
        libraries that take the sources themselves (the others draw as many)."""
        rng = np.random.default_rng(self.seed)
        return sorted(rng.choice(self.n, size=min(BETWEENNESS_SOURCES, self.n), replace=False).tolist())

    def text_file(self) -> str:
        """The edge list as text ("u v" lines, file order), written once per
        size beside the data file and shared by every library."""
        path = (self.data_path or os.path.join(self.out_dir, "graph")) + ".edges.txt"
        if not os.path.exists(path):
            tmp = f"{path}.{os.getpid()}.tmp"
            with open(tmp, "w") as f:
                np.savetxt(f, np.stack([self.u, self.v], axis=1), fmt="%d", delimiter=" ")
            os.replace(tmp, path)
        return path

    def binary_path(self, suffix: str) -> str:
        return os.path.join(self.out_dir, "graph" + suffix)

    def degrees(self) -> np.ndarray:
        return np.bincount(np.concatenate([self.u, self.v]), minlength=self.n)

    def weights(self) -> np.ndarray:
        """The directed graph's edge weights: uniform in [0, 1), seeded."""
        if "weights" not in self.cache:
            self.cache["weights"] = np.random.default_rng(self.seed).random(self.m)
        return self.cache["weights"]

    def scattered_ids(self) -> tuple[np.ndarray, np.ndarray]:
        """(u, v) with every node's id replaced by a distinct random int64 (seeded):
        labels far from 0..n-1, which each library must map to its own node indices."""
        if "scattered" not in self.cache:
            rng = np.random.default_rng(self.seed)
            ids = rng.integers(-2**63, 2**63 - 1, self.n, endpoint=True)
            while np.unique(ids).size < self.n:  # a collision: about 1 in 10**5 draws at 12M ids
                ids = rng.integers(-2**63, 2**63 - 1, self.n, endpoint=True)
            self.cache["scattered"] = ids[self.u], ids[self.v]
        return self.cache["scattered"]


def factorized(u: np.ndarray, v: np.ndarray) -> tuple[np.ndarray, np.ndarray, int]:
    """(codes of u, codes of v, node count) of arbitrary int64 labels, as a user of a
    library that takes node indices 0..n-1 maps them: pandas.factorize (hashing) when
    pandas is installed, else numpy.unique(return_inverse=True) (sorting)."""
    both = np.concatenate([u, v])
    try:
        import pandas as pd
    except ImportError:
        labels, codes = np.unique(both, return_inverse=True)
    else:
        codes, labels = pd.factorize(both)
    return codes[: u.size], codes[u.size :], len(labels)


def flatten(pairs) -> list:
    """The flat-list form of an iterable of pairs, for libraries without a flat export."""
    return list(chain.from_iterable(pairs))


def sizes_summary(sizes) -> dict:
    """Compact, order-free summary of a component-size list for the cross-checks."""
    arr = np.sort(np.asarray(list(sizes), dtype=np.int64))[::-1]
    return {"count": int(arr.size), "largest": int(arr[0]) if arr.size else 0,
            "sorted_head": arr[:5].tolist(), "total": int(arr.sum())}


def labels_summary(labels) -> dict:
    """Order-free summary of a component label per node: the component sizes."""
    return sizes_summary(np.bincount(np.unique(np.asarray(labels), return_inverse=True)[1]))


def distance_summary(distances, n: int) -> dict:
    """Order-free summary of hop distances from one source; anything outside
    [0, n) (-1, inf, a library's largest value) counts as unreachable."""
    d = np.asarray(distances, dtype=np.float64)
    reached = d[(d >= 0) & (d < n)]
    return {"reached": int(reached.size), "sum": int(reached.sum()), "max": int(reached.max(initial=0))}


def dijkstra_summary(distances) -> dict:
    """Weighted distances: how many nodes are reached (a finite distance below
    1e300: NetworKit's unreachable is the largest double) and the sum of
    their distances (compared within a relative tolerance), plus the bits."""
    d = np.asarray(distances, dtype=np.float64)
    reached = d[d < 1e300]
    return {"reached": int(reached.size), **float_summary(reached.sum(), d)}


def degree_summary(in_degrees, out_degrees) -> dict:
    ins, outs = np.asarray(in_degrees, dtype=np.int64), np.asarray(out_degrees, dtype=np.int64)
    return {"edges": int(ins.sum()), "in_max": int(ins.max(initial=0)), "out_max": int(outs.max(initial=0)),
            "in_squares": int((ins * ins).sum()), "out_squares": int((outs * outs).sum())}


def core_summary(cores) -> dict:
    c = np.asarray(cores, dtype=np.int64)
    return {"degeneracy": int(c.max(initial=0)), "sum": int(c.sum())}


def float_summary(value=None, values=None) -> dict:
    """A figure compared across libraries within a relative tolerance, and,
    for a per-node float result, the digest of its bits (compared across
    our thread settings, which must agree exactly)."""
    out = {} if value is None else {"value": float(value)}
    if values is not None:
        out["bits"] = hashlib.sha256(np.ascontiguousarray(values, dtype=np.float64).tobytes()).hexdigest()[:16]
    return out


def community_summary(labels, quality: float, values=None) -> dict:
    """How many communities and their modularity (compared by eye: each
    library finds its own partition); for ours also the digest of the labels,
    which must be the same for every thread count."""
    out = float_summary(values=values) if values is not None else {}
    out.update({"communities": int(len(set(np.asarray(labels).tolist()))), "modularity": float(quality)})
    return out


def pickle_save(graph, path: str) -> None:
    with open(path, "wb") as f:
        pickle.dump(graph, f, protocol=pickle.HIGHEST_PROTOCOL)


def pickle_load(path: str):
    with open(path, "rb") as f:
        return pickle.load(f)


def pickle_save_workload(graph, ctx: Context) -> Workload:
    """Saving through pickle, for libraries without a binary format."""
    path = ctx.binary_path(".pickle")
    return (lambda: pickle_save(graph, path)), file_size(path)


def pickle_load_workload(graph, ctx: Context, edge_count) -> Workload:
    """Loading through pickle; the file is written untimed first."""
    path = ctx.binary_path(".pickle")
    pickle_save(graph, path)
    return (lambda: pickle_load(path)), edge_count


def file_size(path: str):
    """Inspect for a save workload: the size of the file written."""
    return lambda _: os.path.getsize(path)


def save_scores(ctx: Context, scores: np.ndarray) -> dict:
    path = os.path.join(ctx.out_dir, "pagerank.npy")
    np.save(path, scores)
    return {"file": path, "sum": float(scores.sum())}


def save_score_mapping(ctx: Context, mapping) -> dict:
    """save_scores for a {node index: score} mapping."""
    scores = np.zeros(ctx.n)
    scores[np.fromiter(mapping.keys(), np.int64)] = np.fromiter(mapping.values(), float)
    return save_scores(ctx, scores)


class Adapter:
    name = ""
    #: Uses more than one core for some workloads (gets a 1-thread row of its own).
    multithreaded = False
    #: How each workload is done, shown under the tables.
    methods: dict[str, str] = {}

    def load(self) -> None:
        """Import the library (ImportError means: not installed)."""
        raise NotImplementedError

    def version(self) -> str:
        raise NotImplementedError

    def set_threads(self, threads: int) -> None:
        """Environment variables are set by the runner; this covers in-process settings."""

    def edge_count(self, graph) -> int:
        raise NotImplementedError

    # Workloads; each returns (call, inspect).
    def build_list(self, ctx: Context) -> Workload:
        raise NotImplementedError

    def build_numpy(self, ctx: Context) -> Workload:
        raise NotImplementedError

    def generate(self, ctx: Context) -> Workload:
        raise NotImplementedError

    def pagerank(self, graph, ctx: Context) -> Workload:
        raise NotImplementedError

    def triangles(self, graph, ctx: Context) -> Workload:
        raise NotImplementedError

    def components(self, graph, ctx: Context) -> Workload:
        raise NotImplementedError

    def pagerank20(self, graph, ctx: Context) -> Workload:
        """Exactly 20 iterations (no convergence test): a fixed amount of work per edge."""
        raise NotImplementedError

    def distance_between(self, graph):
        """f(s, t): hop distance, 0 when s == t, -1 when there is no path."""
        raise NotImplementedError

    def distance(self, graph, ctx: Context) -> Workload:
        f, s, t = self.distance_between(graph), ctx.source, ctx.target
        return (lambda: f(s, t)), int

    def distance_pairs(self, graph, ctx: Context) -> Workload:
        f, pairs = self.distance_between(graph), ctx.pairs
        return (lambda: [f(s, t) for s, t in pairs]), list

    def membership(self, graph, ctx: Context) -> Workload:
        raise NotImplementedError

    def export_pairs(self, graph, ctx: Context) -> Workload:
        raise NotImplementedError

    def export_flat(self, graph, ctx: Context) -> Workload:
        raise NotImplementedError

    def export_numpy(self, graph, ctx: Context) -> Workload:
        """The edges as numpy arrays (any layout): the library's fastest way."""
        raise NotImplementedError

    def export_scipy(self, graph, ctx: Context) -> Workload:
        raise NotImplementedError

    def save_binary(self, graph, ctx: Context) -> Workload:
        """The library's fastest own file format (pickle where it has none)."""
        raise NotImplementedError

    def load_binary(self, graph, ctx: Context) -> Workload:
        raise NotImplementedError

    def read_text(self, ctx: Context) -> Workload:
        """A graph from the shared edge-list text file (``ctx.text_file()``)."""
        raise NotImplementedError

    def component_labels(self, graph, ctx: Context) -> Workload:
        raise NotImplementedError

    def bfs_all(self, graph, ctx: Context) -> Workload:
        """Hop distances from ctx.source to every node."""
        raise NotImplementedError

    def core_number(self, graph, ctx: Context) -> Workload:
        raise NotImplementedError

    def clustering(self, graph, ctx: Context) -> Workload:
        raise NotImplementedError

    def avg_clustering(self, graph, ctx: Context) -> Workload:
        raise NotImplementedError

    def transitivity(self, graph, ctx: Context) -> Workload:
        raise NotImplementedError

    def betweenness(self, graph, ctx: Context) -> Workload:
        """BETWEENNESS_SOURCES sampled sources (ctx.betweenness_sources() where
        the library takes them), normalised as NetworkX normalises."""
        raise NotImplementedError

    def betweenness_all(self, graph, ctx: Context) -> Workload:
        """Every node a source; inspect: float_summary of the sum of the
        scores normalised as NetworkX normalises."""
        raise NotImplementedError

    def communities(self, graph, ctx: Context) -> Workload:
        """Louvain communities at resolution 1 (the run's seed where the
        library takes one); inspect: community_summary."""
        raise NotImplementedError

    def communities_leiden(self, graph, ctx: Context) -> Workload:
        """Leiden communities maximising modularity at resolution 1."""
        raise NotImplementedError

    # The weighted graphs; each returns (call, inspect) like the others.
    def _weighted_build(self, ctx: Context, directed: bool) -> Workload:
        """The graph with edges u -> v (u - v undirected) weighted by ctx.weights(),
        from numpy arrays; inspect: the edge count."""
        raise NotImplementedError

    def directed_build(self, ctx: Context) -> Workload:
        return self._weighted_build(ctx, True)

    def graph_build(self, ctx: Context) -> Workload:
        return self._weighted_build(ctx, False)

    def graph_build_ids(self, ctx: Context) -> Workload:
        """The unweighted undirected graph of ctx.scattered_ids(), mapped to the
        library's nodes as its users would (inside the timed call); inspect:
        [nodes, edges]."""
        raise NotImplementedError

    def directed_dijkstra(self, graph, ctx: Context) -> Workload:
        """Weighted distances from ctx.source along the edges; inspect: dijkstra_summary."""
        raise NotImplementedError

    def directed_bfs(self, graph, ctx: Context) -> Workload:
        """Hops from ctx.source along the edges; inspect: distance_summary."""
        raise NotImplementedError

    def directed_weak(self, graph, ctx: Context) -> Workload:
        """Weak component of every node; inspect: labels_summary."""
        raise NotImplementedError

    def directed_strong(self, graph, ctx: Context) -> Workload:
        """Strong component of every node; inspect: labels_summary."""
        raise NotImplementedError

    def directed_pagerank(self, graph, ctx: Context) -> Workload:
        """Weighted PageRank along the edges, damping 0.85, tolerance 1e-6 as the
        library reads it."""
        raise NotImplementedError

    def directed_degrees(self, graph, ctx: Context) -> Workload:
        """In- and out-degree (edge counts) of every node; inspect: degree_summary."""
        raise NotImplementedError

    def directed_clustering(self, graph, ctx: Context) -> Workload:
        """NetworkX's directed local clustering (Fagiolo), unweighted; inspect:
        float_summary of the sum."""
        raise NotImplementedError

    def directed_clustering_weighted(self, graph, ctx: Context) -> Workload:
        """As directed_clustering with NetworkX's weighted definition."""
        raise NotImplementedError

    def directed_betweenness(self, graph, ctx: Context) -> Workload:
        """Every node a source, hops along the edges, normalised as NetworkX
        normalises (by (n-1)(n-2)); inspect: float_summary of the sum. By
        default betweenness_all, for libraries whose call follows the
        graph's direction."""
        return self.betweenness_all(graph, ctx)

    def directed_betweenness_weighted(self, graph, ctx: Context) -> Workload:
        """As directed_betweenness, the weights as lengths."""
        raise NotImplementedError

    # The undirected weighted graph. A peer's call that ignores the weights
    # is its row of the unweighted graph, so those rows default to that.
    def graph_components(self, graph, ctx: Context) -> Workload:
        """Component of every node; inspect: labels_summary."""
        return self.component_labels(graph, ctx)

    def graph_triangles(self, graph, ctx: Context) -> Workload:
        return self.triangles(graph, ctx)

    def graph_cores(self, graph, ctx: Context) -> Workload:
        return self.core_number(graph, ctx)

    def graph_clustering(self, graph, ctx: Context) -> Workload:
        return self.clustering(graph, ctx)

    def graph_clustering_weighted(self, graph, ctx: Context) -> Workload:
        """NetworkX's weighted local clustering (geometric mean of the
        triangle's weights over the largest weight)."""
        raise NotImplementedError

    def graph_transitivity(self, graph, ctx: Context) -> Workload:
        return self.transitivity(graph, ctx)

    def graph_betweenness(self, graph, ctx: Context) -> Workload:
        """Every node a source, hops; as betweenness_all."""
        return self.betweenness_all(graph, ctx)

    def graph_betweenness_weighted(self, graph, ctx: Context) -> Workload:
        """As graph_betweenness, the weights as lengths."""
        raise NotImplementedError

    def weighted_louvain(self, graph, ctx: Context) -> Workload:
        """Louvain maximising weighted modularity; inspect: community_summary
        with the weighted modularity."""
        return self.communities(graph, ctx)

    def weighted_leiden(self, graph, ctx: Context) -> Workload:
        return self.communities_leiden(graph, ctx)

    #: Which build workload makes the graph for the memory probe and the analytics.
    memory_build = "build_numpy"
