"""python-igraph: C core, single-threaded."""
from __future__ import annotations

import random

import numpy as np

from .base import (DAMPING, Adapter, Context, community_summary, core_summary, degree_summary, dijkstra_summary,
                   distance_summary, factorized, file_size, flatten, float_summary, labels_summary, save_scores,
                   sizes_summary)


class IgraphAdapter(Adapter):
    name = "igraph"
    methods = {
        "directed_build": "`Graph(n, edges=list(zip(u.tolist(), v.tolist())), directed=True, "
                          "edge_attrs={'weight': w})`, conversion timed",
        "directed_dijkstra": "`distances(s, weights='weight', mode='out')`",
        "directed_bfs": "`distances(s, mode='out')`",
        "directed_weak": "`connected_components(mode='weak').membership`",
        "directed_strong": "`connected_components(mode='strong').membership`",
        "directed_pagerank": "`pagerank(directed=True, weights='weight')` (PRPACK)",
        "directed_degrees": "`indegree()`, `outdegree()`",
        "directed_clustering": "none: local transitivity is undirected only",
        "directed_clustering_weighted": "none: local transitivity is undirected only",
        "directed_betweenness": "`betweenness(directed=True)`, scaled by 1/((n-1)(n-2)) for the check",
        "directed_betweenness_weighted": "`betweenness(directed=True, weights='weight')`, scaled as above",
        "graph_build": "`Graph(n, edges=list(zip(u.tolist(), v.tolist())), edge_attrs={'weight': w})`, "
                       "conversion timed",
        "graph_build_ids": "ids mapped by `pandas.factorize`, then `Graph(n, edges=list(zip(cu.tolist(), "
                           "cv.tolist())))`, all timed",
        "graph_components": "as component_labels",
        "graph_triangles": "as triangles",
        "graph_cores": "as core_number",
        "graph_clustering": "as clustering",
        "graph_clustering_weighted": "none compared: `transitivity_local_undirected(weights=...)` is "
                                     "Barrat's definition, not NetworkX's",
        "graph_transitivity": "as transitivity",
        "graph_betweenness": "as betweenness_all",
        "graph_betweenness_weighted": "`betweenness(directed=False, weights='weight')`, scaled as betweenness_all",
        "weighted_louvain": "`community_multilevel(weights='weight')` (seeded through `random.seed`)",
        "weighted_leiden": "`community_leiden(objective_function='modularity', weights='weight')` (2 iterations)",
        "build_list": "`Graph(n, edges=list of tuples)`",
        "build_numpy": "`Graph(n, edges=list(zip(u.tolist(), v.tolist())))`, conversion timed "
                       "(passing the (m, 2) array directly is slower)",
        "generate": "`Graph.Erdos_Renyi(n, m=m)` (seeded through `random.seed`)",
        "pagerank": "`pagerank(damping=0.85)` with PRPACK: solves the linear system to machine "
                    "precision, no tolerance parameter; dangling mass redistributed uniformly",
        "triangles": "`len(list_triangles())`",
        "components": "`connected_components().sizes()`",
        "distance": "`distances(source=s, target=t)` (BFS from s)",
        "membership": "`get_eids(pairs, error=False)` (edge id or -1 per pair)",
        "export_pairs": "`get_edgelist()`",
        "export_flat": "`list(chain.from_iterable(get_edgelist()))`",
        "export_numpy": "`get_edge_dataframe()` (pandas: source and target columns)",
        "export_scipy": "`get_adjacency_sparse()`",
        "save_binary": "no binary format of its own: `write_pickle(path)`",
        "load_binary": "`Graph.Read_Pickle(path)`",
        "read_text": "`Graph.Read_Edgelist(path, directed=False)`",
        "component_labels": "`connected_components().membership`",
        "bfs_all": "`distances(source=s)` (BFS)",
        "core_number": "`coreness()`",
        "clustering": "`transitivity_local_undirected(mode='zero')`",
        "avg_clustering": "`transitivity_avglocal_undirected(mode='zero')`",
        "transitivity": "`transitivity_undirected()`",
        "betweenness": "`betweenness(directed=False, sources=16 seeded random nodes)`",
        "betweenness_all": "`betweenness(directed=False)`, scaled by 2/((n-1)(n-2)) for the check",
        "communities": "`community_multilevel()` (single-threaded; seeded through `random.seed`)",
        "communities_leiden": "`community_leiden(objective_function='modularity')` (2 iterations)",
    }
    memory_build = "build_list"

    def load(self) -> None:
        import igraph

        self.ig = igraph

    def version(self) -> str:
        return self.ig.__version__

    def edge_count(self, graph) -> int:
        return graph.ecount()

    def build_list(self, ctx: Context):
        n, pairs = ctx.n, ctx.pair_list()
        return (lambda: self.ig.Graph(n=n, edges=pairs)), self.edge_count

    def build_numpy(self, ctx: Context):
        n, u, v = ctx.n, ctx.u, ctx.v
        return (lambda: self.ig.Graph(n=n, edges=list(zip(u.tolist(), v.tolist())))), self.edge_count

    def generate(self, ctx: Context):
        n, m = ctx.size_nodes, ctx.size_edges
        random.seed(ctx.seed)
        return (lambda: self.ig.Graph.Erdos_Renyi(n=n, m=m)), self.edge_count

    def pagerank(self, graph, ctx: Context):
        return (lambda: graph.pagerank(damping=DAMPING)), lambda r: save_scores(ctx, np.asarray(r))

    def triangles(self, graph, ctx: Context):
        return (lambda: len(graph.list_triangles())), int

    def components(self, graph, ctx: Context):
        return (lambda: graph.connected_components().sizes()), sizes_summary

    def distance_between(self, graph):
        def f(s, t):
            d = graph.distances(source=s, target=t)[0][0]
            return int(d) if d != float("inf") else -1

        return f

    def membership(self, graph, ctx: Context):
        queries = ctx.query_list()
        return (lambda: graph.get_eids(queries, error=False)), lambda r: sum(e >= 0 for e in r)

    def export_pairs(self, graph, ctx: Context):
        return graph.get_edgelist, len

    def export_flat(self, graph, ctx: Context):
        return (lambda: flatten(graph.get_edgelist())), lambda r: len(r) // 2

    def export_numpy(self, graph, ctx: Context):
        return graph.get_edge_dataframe, len

    def export_scipy(self, graph, ctx: Context):
        return graph.get_adjacency_sparse, lambda r: r.nnz

    def save_binary(self, graph, ctx: Context):
        path = ctx.binary_path(".pickle")
        return (lambda: graph.write_pickle(path)), file_size(path)

    def load_binary(self, graph, ctx: Context):
        path = ctx.binary_path(".pickle")
        graph.write_pickle(path)
        return (lambda: self.ig.Graph.Read_Pickle(path)), self.edge_count

    def read_text(self, ctx: Context):
        path, ig = ctx.text_file(), self.ig
        return (lambda: ig.Graph.Read_Edgelist(path, directed=False)), self.edge_count

    def component_labels(self, graph, ctx: Context):
        return (lambda: graph.connected_components().membership), labels_summary

    def bfs_all(self, graph, ctx: Context):
        s, n = ctx.source, ctx.n
        return (lambda: graph.distances(source=s)[0]), lambda r: distance_summary(r, n)

    def core_number(self, graph, ctx: Context):
        return graph.coreness, core_summary

    def clustering(self, graph, ctx: Context):
        return (lambda: graph.transitivity_local_undirected(mode="zero")), lambda r: float_summary(sum(r))

    def avg_clustering(self, graph, ctx: Context):
        return (lambda: graph.transitivity_avglocal_undirected(mode="zero")), float_summary

    def transitivity(self, graph, ctx: Context):
        return graph.transitivity_undirected, float_summary

    def betweenness(self, graph, ctx: Context):
        sources = ctx.betweenness_sources()
        return (lambda: graph.betweenness(directed=False, sources=sources)), len

    def betweenness_all(self, graph, ctx: Context, weights=None):
        directed = graph.is_directed()
        scale = (1 if directed else 2) / max((ctx.n - 1) * (ctx.n - 2), 1)  # NetworkX's normalisation
        return (lambda: graph.betweenness(directed=directed, weights=weights)), lambda r: float_summary(sum(r) * scale)

    def _weighted_betweenness(self, graph, ctx: Context):
        return self.betweenness_all(graph, ctx, "weight")

    directed_betweenness_weighted = graph_betweenness_weighted = _weighted_betweenness

    def _communities(self, graph, detect, seed):
        def call():
            random.seed(seed)  # igraph draws from Python's random module
            return detect()

        return call, lambda clustering: community_summary(clustering.membership, clustering.modularity)

    def communities(self, graph, ctx: Context, weights=None):
        return self._communities(graph, lambda: graph.community_multilevel(weights=weights), ctx.seed)

    def communities_leiden(self, graph, ctx: Context, weights=None):
        detect = lambda: graph.community_leiden(objective_function="modularity", weights=weights)  # noqa: E731
        return self._communities(graph, detect, ctx.seed)

    def weighted_louvain(self, graph, ctx: Context):
        return self.communities(graph, ctx, "weight")

    def weighted_leiden(self, graph, ctx: Context):
        return self.communities_leiden(graph, ctx, "weight")

    # ---- directed, weighted

    def _weighted_build(self, ctx: Context, directed: bool):
        n, u, v, w = ctx.n, ctx.u, ctx.v, ctx.weights()
        return (lambda: self.ig.Graph(n=n, edges=list(zip(u.tolist(), v.tolist())), directed=directed,
                                      edge_attrs={"weight": w})), self.edge_count

    def graph_build_ids(self, ctx: Context):
        u, v = ctx.scattered_ids()

        def call():
            cu, cv, n = factorized(u, v)
            return self.ig.Graph(n=n, edges=list(zip(cu.tolist(), cv.tolist())))

        return call, lambda g: [g.vcount(), g.ecount()]

    def directed_dijkstra(self, graph, ctx: Context):
        return (lambda: graph.distances(ctx.source, weights="weight", mode="out")[0]), dijkstra_summary

    def directed_bfs(self, graph, ctx: Context):
        return (lambda: graph.distances(ctx.source, mode="out")[0]), lambda d: distance_summary(d, ctx.n)

    def directed_weak(self, graph, ctx: Context):
        return (lambda: graph.connected_components(mode="weak").membership), labels_summary

    def directed_strong(self, graph, ctx: Context):
        return (lambda: graph.connected_components(mode="strong").membership), labels_summary

    def directed_pagerank(self, graph, ctx: Context):
        return (lambda: graph.pagerank(damping=DAMPING, directed=True, weights="weight")), len

    def directed_degrees(self, graph, ctx: Context):
        return (lambda: (graph.indegree(), graph.outdegree())), lambda d: degree_summary(*d)
