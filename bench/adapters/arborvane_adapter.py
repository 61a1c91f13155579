"""arborvane: IntGraphCore, the library under test."""
from __future__ import annotations

import numpy as np

from .base import (BETWEENNESS_SOURCES, PAGERANK_TOL, Adapter, Context, community_summary, core_summary,
                   degree_summary, dijkstra_summary, distance_summary, file_size, float_summary, labels_summary,
                   save_scores, sizes_summary)


def _flat(ctx: Context) -> np.ndarray:
    flat = np.empty(2 * ctx.m, dtype=np.int64)
    flat[0::2] = ctx.u
    flat[1::2] = ctx.v
    return flat


def _scores(call):
    """A per-node float result, (labels, values): the sum compared across
    libraries, the bits across our thread settings."""
    return call, lambda r: float_summary(r[1].sum(), r[1])


class ArborvaneAdapter(Adapter):
    name = "arborvane"
    multithreaded = True
    methods = {
        "build_list": "`add_edges_flat(list)` on a flat Python list of ids",
        "build_numpy": "`add_edges_flat(ndarray)` on a flat int64 array",
        "generate": "`build_random(n, m, seed)` (exactly m edges, no self-loops)",
        "pagerank": "`pagerank(tol=1e-6)`: stop when L1 change < 1e-6; isolated nodes keep "
                    "only the teleport term (no redistribution); snapshot cached after warm-up",
        "triangles": "`triangle_count()`",
        "components": "`connected_component_sizes()`",
        "pagerank20": "`pagerank(max_iter=20, tol=0)`, snapshot cached",
        "distance": "`shortest_path_length(s, t)`: BFS from both ends, layer by layer, on the CSR "
                    "snapshot the earlier analytics cached",
        "distance_pairs": "as the far pair, once per pair",
        "membership": "`has_edges(list of tuples)` (parallel)",
        "export_pairs": "`edges()`",
        "export_flat": "`edges_flat()`",
        "export_numpy": "`arborvane.edge_array(g)`: (m, 2) int64",
        "export_scipy": "`arborvane.to_scipy_sparse(g)` (snapshot cached after warm-up)",
        "save_binary": "`arborvane.save(g, path)`: ids, degrees, sorted neighbour runs, XXH64",
        "load_binary": "`arborvane.load(path)`: every byte checked",
        "read_text": "`arborvane.read_edgelist(path)`",
        "component_labels": "`component_labels(g)`: (ids, labels) numpy arrays; snapshot cached after warm-up",
        "bfs_all": "`bfs_distances(g, s)`: direction-optimising BFS on the snapshot",
        "core_number": "`core_number(g)`: parallel level-by-level peeling",
        "clustering": "`clustering(g)`: per-node triangle counts on degree-oriented edges",
        "avg_clustering": "`average_clustering(g)`",
        "transitivity": "`transitivity(g)`",
        "betweenness": "`betweenness_centrality(g, k=16, seed)`: Brandes, sources in parallel",
        "betweenness_all": "`betweenness_centrality(g)`",
        "communities": "`louvain_communities(g, seed=seed)`: 2 iterations, parallel sub-rounds, same labels "
                       "for any thread count",
        "communities_leiden": "`leiden_communities(g, seed=seed)`: 2 iterations",
        "directed_build": "`from_edges(u, v, w, directed=True)`: labels ranked, native counting sort into "
                          "out- and in-rows",
        "directed_dijkstra": "`Graph.dijkstra(s)`",
        "directed_bfs": "`Graph.bfs_distances(s)`",
        "directed_weak": "`Graph.weakly_connected_components()`",
        "directed_strong": "`Graph.strongly_connected_components()`",
        "directed_pagerank": "`Graph.pagerank()`: NetworkX's rule (L1 change < n * 1e-6), same bits for any "
                             "thread count",
        "directed_degrees": "`Graph.in_degree()`, `Graph.out_degree()`",
        "directed_clustering": "`Graph.clustering()`",
        "directed_clustering_weighted": "`Graph.clustering(weighted=True)`",
        "directed_betweenness": "`Graph.betweenness_centrality()`: Brandes, sources in parallel",
        "directed_betweenness_weighted": "`Graph.betweenness_centrality(weighted=True)`: Brandes over Dijkstra",
        "graph_build": "`from_edges(u, v, w)`",
        "graph_build_ids": "`from_edges(u, v)` on the int64 ids: hashed natively, the distinct ids "
                           "radix-sorted, then the native build",
        "graph_components": "`Graph.connected_components()`",
        "graph_triangles": "`Graph.triangle_count()`",
        "graph_cores": "`Graph.core_number()`",
        "graph_clustering": "`Graph.clustering()`: IntGraphCore's triangle kernel on the rows",
        "graph_clustering_weighted": "`Graph.clustering(weighted=True)`",
        "graph_transitivity": "`Graph.transitivity()`",
        "graph_betweenness": "`Graph.betweenness_centrality()`",
        "graph_betweenness_weighted": "`Graph.betweenness_centrality(weighted=True)`",
        "weighted_louvain": "`louvain_communities(g, seed=seed)` (weights used): 2 iterations",
        "weighted_leiden": "`leiden_communities(g, seed=seed)` (weights used): 2 iterations",
    }

    def load(self) -> None:
        import arborvane

        self.av = arborvane
        self.cls = arborvane.IntGraphCore

    def version(self) -> str:
        import arborvane

        try:
            from importlib.metadata import version

            return version("arborvane")
        except Exception:
            return getattr(arborvane, "__version__", "dev")

    def edge_count(self, graph) -> int:
        return graph.number_of_edges()

    def _build(self, source):
        def call():
            g = self.cls()
            g.add_edges_flat(source)
            return g

        return call, self.edge_count

    def build_list(self, ctx: Context):
        return self._build(_flat(ctx).tolist())

    def build_numpy(self, ctx: Context):
        return self._build(_flat(ctx))

    def generate(self, ctx: Context):
        n, m, seed = ctx.size_nodes, ctx.size_edges, ctx.seed

        def call():
            g = self.cls()
            g.build_random(n, m, seed)
            return g

        return call, self.edge_count

    def pagerank(self, graph, ctx: Context):
        def inspect(result):
            pairs = np.array(result, dtype=np.float64).reshape(-1, 2)
            scores = np.zeros(ctx.n)
            scores[pairs[:, 0].astype(np.int64)] = pairs[:, 1]
            return save_scores(ctx, scores)

        return (lambda: graph.pagerank(tol=PAGERANK_TOL)), inspect

    def triangles(self, graph, ctx: Context):
        return graph.triangle_count, int

    def components(self, graph, ctx: Context):
        return graph.connected_component_sizes, sizes_summary

    def pagerank20(self, graph, ctx: Context):
        graph.pagerank(max_iter=0)  # the snapshot, untimed
        return (lambda: graph.pagerank(max_iter=20, tol=0.0)), len

    def distance_between(self, graph):
        return graph.shortest_path_length

    def membership(self, graph, ctx: Context):
        queries = ctx.query_list()
        return (lambda: graph.has_edges(queries)), sum

    def export_pairs(self, graph, ctx: Context):
        return graph.edges, len

    def export_flat(self, graph, ctx: Context):
        return graph.edges_flat, lambda r: len(r) // 2

    def export_numpy(self, graph, ctx: Context):
        return (lambda: self.av.edge_array(graph)), len

    def export_scipy(self, graph, ctx: Context):
        return (lambda: self.av.to_scipy_sparse(graph)), lambda r: r[0].nnz

    def save_binary(self, graph, ctx: Context):
        path = ctx.binary_path(".avg")
        return (lambda: self.av.save(graph, path)), file_size(path)

    def load_binary(self, graph, ctx: Context):
        path = ctx.binary_path(".avg")
        self.av.save(graph, path)
        return (lambda: self.av.load(path)), self.edge_count

    def read_text(self, ctx: Context):
        path = ctx.text_file()
        return (lambda: self.av.read_edgelist(path)), self.edge_count

    def component_labels(self, graph, ctx: Context):
        return (lambda: self.av.component_labels(graph)), lambda r: labels_summary(r[1])

    def bfs_all(self, graph, ctx: Context):
        s, n = ctx.source, ctx.n
        return (lambda: self.av.bfs_distances(graph, s)), lambda r: distance_summary(r[1], n)

    def core_number(self, graph, ctx: Context):
        return (lambda: self.av.core_number(graph)), lambda r: core_summary(r[1])

    def clustering(self, graph, ctx: Context):
        return _scores(lambda: self.av.clustering(graph))

    def avg_clustering(self, graph, ctx: Context):
        return (lambda: self.av.average_clustering(graph)), float_summary

    def transitivity(self, graph, ctx: Context):
        return (lambda: self.av.transitivity(graph)), float_summary

    def betweenness(self, graph, ctx: Context):
        seed = ctx.seed
        call = lambda: self.av.betweenness_centrality(graph, k=BETWEENNESS_SOURCES, seed=seed)  # noqa: E731
        return call, lambda r: float_summary(values=r[1])

    def betweenness_all(self, graph, ctx: Context):
        return _scores(lambda: self.av.betweenness_centrality(graph))

    def _communities(self, graph, detect, seed):
        def inspect(result):
            return community_summary(result[1], self.av.modularity(graph, result[1]), result[1])

        return (lambda: detect(graph, seed=seed)), inspect

    def communities(self, graph, ctx: Context):
        return self._communities(graph, self.av.louvain_communities, ctx.seed)

    def communities_leiden(self, graph, ctx: Context):
        return self._communities(graph, self.av.leiden_communities, ctx.seed)

    # ---- arborvane.Graph, directed and weighted; node labels are the ids 0..n-1

    def _weighted_build(self, ctx: Context, directed: bool):
        u, v, w = ctx.u, ctx.v, ctx.weights()
        return (lambda: self.av.from_edges(u, v, w, directed=directed)), lambda g: g.number_of_edges()

    def graph_build_ids(self, ctx: Context):
        u, v = ctx.scattered_ids()
        return (lambda: self.av.from_edges(u, v)), lambda g: [g.number_of_nodes(), g.number_of_edges()]

    def directed_dijkstra(self, graph, ctx: Context):
        return (lambda: graph.dijkstra(ctx.source)[1]), dijkstra_summary

    def directed_bfs(self, graph, ctx: Context):
        return (lambda: graph.bfs_distances(ctx.source)[1]), lambda d: distance_summary(d, ctx.n)

    def directed_weak(self, graph, ctx: Context):
        return (lambda: graph.weakly_connected_components()[1]), labels_summary

    def directed_strong(self, graph, ctx: Context):
        return (lambda: graph.strongly_connected_components()[1]), labels_summary

    def directed_pagerank(self, graph, ctx: Context):
        return (lambda: graph.pagerank()[1]), lambda scores: float_summary(values=scores)

    def directed_degrees(self, graph, ctx: Context):
        return (lambda: (graph.in_degree()[1], graph.out_degree()[1])), lambda d: degree_summary(*d)

    def directed_clustering(self, graph, ctx: Context):
        return _scores(graph.clustering)

    def directed_clustering_weighted(self, graph, ctx: Context):
        return _scores(lambda: graph.clustering(weighted=True))

    def directed_betweenness(self, graph, ctx: Context):
        return _scores(graph.betweenness_centrality)

    def directed_betweenness_weighted(self, graph, ctx: Context):
        return _scores(lambda: graph.betweenness_centrality(weighted=True))

    # ---- arborvane.Graph (undirected, weighted): Graph's methods take either kind

    graph_clustering = directed_clustering
    graph_clustering_weighted = directed_clustering_weighted
    graph_betweenness = directed_betweenness
    graph_betweenness_weighted = directed_betweenness_weighted

    def graph_components(self, graph, ctx: Context):
        return (lambda: graph.connected_components()[1]), labels_summary

    def graph_triangles(self, graph, ctx: Context):
        return graph.triangle_count, int

    def graph_cores(self, graph, ctx: Context):
        return (lambda: graph.core_number()[1]), core_summary

    def graph_transitivity(self, graph, ctx: Context):
        return graph.transitivity, float_summary
