"""NetworkX: pure Python, single-threaded."""
from __future__ import annotations

import numpy as np

from .base import (BETWEENNESS_SOURCES, DAMPING, PAGERANK_TOL, Adapter, Context, community_summary, core_summary,
                   distance_summary, flatten, float_summary, labels_summary, pickle_load_workload,
                   pickle_save_workload, save_score_mapping, sizes_summary)


class NetworkxAdapter(Adapter):
    name = "networkx"
    methods = {
        "build_list": "`Graph.add_edges_from(list of tuples)`",
        "build_numpy": "no array input: `add_edges_from(zip(u.tolist(), v.tolist()))`, conversion timed",
        "generate": "`gnm_random_graph(n, m, seed)`",
        "pagerank": "`pagerank(alpha=0.85, tol=1e-6/n)`: NetworkX stops when L1 change < n*tol, "
                    "so tol/n gives our rule; dangling mass redistributed uniformly",
        "triangles": "`sum(triangles(G).values()) // 3`",
        "components": "`[len(c) for c in connected_components(G)]`",
        "distance": "`shortest_path_length(G, s, t)` (bidirectional BFS)",
        "membership": "`[G.has_edge(a, b) for a, b in pairs]`",
        "export_pairs": "`list(G.edges())`",
        "export_flat": "`list(chain.from_iterable(G.edges()))`",
        "export_numpy": "`np.array(G.edges())`",
        "export_scipy": "`to_scipy_sparse_array(G)`",
        "save_binary": "no binary format: `pickle.dump(G)`",
        "load_binary": "`pickle.load`",
        "read_text": "`read_edgelist(path, nodetype=int)`",
        "component_labels": "`{v: i for i, c in enumerate(connected_components(G)) for v in c}`",
        "bfs_all": "`single_source_shortest_path_length(G, s)`",
        "core_number": "`core_number(G)`",
        "clustering": "`clustering(G)`",
        "avg_clustering": "`average_clustering(G)`",
        "transitivity": "`transitivity(G)`",
        "betweenness": "`betweenness_centrality(G, k=16, seed=seed)`",
        "betweenness_all": "`betweenness_centrality(G)`",
        "directed_build": "`DiGraph`, `add_nodes_from(range(n))`, `add_weighted_edges_from(zip(u, v, w))`",
        "directed_clustering": "`clustering(G)` (Fagiolo's definition on a DiGraph)",
        "directed_clustering_weighted": "`clustering(G, weight='weight')`",
        "directed_betweenness": "`betweenness_centrality(G)`",
        "directed_betweenness_weighted": "`betweenness_centrality(G, weight='weight')`",
        "graph_build": "`Graph`, `add_nodes_from(range(n))`, `add_weighted_edges_from(zip(u, v, w))`",
        "graph_build_ids": "`Graph`, `add_edges_from(zip(u.tolist(), v.tolist()))`: the ids are the nodes",
        "graph_clustering_weighted": "`clustering(G, weight='weight')`",
        "graph_betweenness_weighted": "`betweenness_centrality(G, weight='weight')`",
        "weighted_louvain": "`community.louvain_communities(G, weight='weight', seed=seed)`",
        "weighted_leiden": "no Leiden of its own (`leiden_communities` needs a backend)",
    }
    memory_build = "build_list"

    def load(self) -> None:
        import networkx

        self.nx = networkx

    def version(self) -> str:
        return self.nx.__version__

    def edge_count(self, graph) -> int:
        return graph.number_of_edges()

    def _build(self, make_pairs):
        nx = self.nx

        def call():
            g = nx.Graph()
            g.add_edges_from(make_pairs())
            return g

        return call, self.edge_count

    def build_list(self, ctx: Context):
        pairs = ctx.pair_list()
        return self._build(lambda: pairs)

    def build_numpy(self, ctx: Context):
        u, v = ctx.u, ctx.v
        return self._build(lambda: zip(u.tolist(), v.tolist()))

    def generate(self, ctx: Context):
        n, m, seed = ctx.size_nodes, ctx.size_edges, ctx.seed
        return (lambda: self.nx.gnm_random_graph(n, m, seed=seed)), self.edge_count

    def pagerank(self, graph, ctx: Context):
        tol = PAGERANK_TOL / ctx.n

        return (lambda: self.nx.pagerank(graph, alpha=DAMPING, tol=tol)), lambda result: save_score_mapping(ctx, result)

    def triangles(self, graph, ctx: Context):
        return (lambda: sum(self.nx.triangles(graph).values()) // 3), int

    def components(self, graph, ctx: Context):
        return (lambda: [len(c) for c in self.nx.connected_components(graph)]), sizes_summary

    def distance_between(self, graph):
        nx = self.nx

        def f(s, t):
            try:
                return nx.shortest_path_length(graph, s, t)
            except nx.NetworkXNoPath:
                return -1

        return f

    def membership(self, graph, ctx: Context):
        queries = ctx.query_list()
        has = graph.has_edge
        return (lambda: [has(a, b) for a, b in queries]), sum

    def export_pairs(self, graph, ctx: Context):
        return (lambda: list(graph.edges())), len

    def export_flat(self, graph, ctx: Context):
        return (lambda: flatten(graph.edges())), lambda r: len(r) // 2

    def export_numpy(self, graph, ctx: Context):
        return (lambda: np.array(graph.edges(), dtype=np.int64)), len

    def export_scipy(self, graph, ctx: Context):
        return (lambda: self.nx.to_scipy_sparse_array(graph)), lambda r: r.nnz

    def save_binary(self, graph, ctx: Context):
        return pickle_save_workload(graph, ctx)

    def load_binary(self, graph, ctx: Context):
        return pickle_load_workload(graph, ctx, self.edge_count)

    def read_text(self, ctx: Context):
        path, nx = ctx.text_file(), self.nx
        return (lambda: nx.read_edgelist(path, nodetype=int)), self.edge_count

    def component_labels(self, graph, ctx: Context):
        nx = self.nx

        def call():
            return {v: i for i, c in enumerate(nx.connected_components(graph)) for v in c}

        return call, lambda r: labels_summary(list(r.values()))

    def bfs_all(self, graph, ctx: Context):
        s, n = ctx.source, ctx.n
        return (lambda: self.nx.single_source_shortest_path_length(graph, s)), \
            lambda r: distance_summary(list(r.values()), n)

    def core_number(self, graph, ctx: Context):
        return (lambda: self.nx.core_number(graph)), lambda r: core_summary(list(r.values()))

    def clustering(self, graph, ctx: Context, weight=None):
        return (lambda: self.nx.clustering(graph, weight=weight)), lambda r: float_summary(sum(r.values()))

    def avg_clustering(self, graph, ctx: Context):
        return (lambda: self.nx.average_clustering(graph)), float_summary

    def transitivity(self, graph, ctx: Context):
        return (lambda: self.nx.transitivity(graph)), float_summary

    def betweenness(self, graph, ctx: Context):
        seed = ctx.seed
        return (lambda: self.nx.betweenness_centrality(graph, k=BETWEENNESS_SOURCES, seed=seed)), len

    def betweenness_all(self, graph, ctx: Context, weight=None):
        call = lambda: self.nx.betweenness_centrality(graph, weight=weight)  # noqa: E731
        return call, lambda r: float_summary(sum(r.values()))

    # ---- directed and undirected, weighted: the definitions arborvane.Graph follows

    def _weighted_build(self, ctx: Context, directed: bool):
        n, triples = ctx.n, list(zip(ctx.u.tolist(), ctx.v.tolist(), ctx.weights().tolist()))

        def call():
            g = self.nx.DiGraph() if directed else self.nx.Graph()
            g.add_nodes_from(range(n))
            g.add_weighted_edges_from(triples)
            return g

        return call, self.edge_count

    def graph_build_ids(self, ctx: Context):
        u, v = ctx.scattered_ids()

        def call():
            g = self.nx.Graph()
            g.add_edges_from(zip(u.tolist(), v.tolist()))
            return g

        return call, lambda g: [g.number_of_nodes(), g.number_of_edges()]

    def _weighted_clustering(self, graph, ctx: Context):
        return self.clustering(graph, ctx, "weight")

    def _weighted_betweenness(self, graph, ctx: Context):
        return self.betweenness_all(graph, ctx, "weight")

    directed_clustering = clustering
    directed_clustering_weighted = graph_clustering_weighted = _weighted_clustering
    directed_betweenness_weighted = graph_betweenness_weighted = _weighted_betweenness

    def weighted_louvain(self, graph, ctx: Context):
        nx, seed = self.nx, ctx.seed

        def inspect(parts):
            labels = np.empty(ctx.n, dtype=np.int64)
            for i, part in enumerate(parts):
                labels[list(part)] = i
            return community_summary(labels, nx.community.modularity(graph, parts, weight="weight"))

        return (lambda: nx.community.louvain_communities(graph, weight="weight", seed=seed)), inspect
