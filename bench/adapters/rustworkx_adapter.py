"""rustworkx: Rust core; some algorithms use a rayon pool (RAYON_NUM_THREADS)."""
from __future__ import annotations

import numpy as np

from .base import (DAMPING, PAGERANK_TOL, Adapter, Context, core_summary, dijkstra_summary, distance_summary,
                   factorized, flatten, float_summary, labels_summary, pickle_load_workload,
                   pickle_save_workload, save_score_mapping, sizes_summary)


class RustworkxAdapter(Adapter):
    name = "rustworkx"
    multithreaded = True
    methods = {
        "directed_build": "no array input: `PyDiGraph()`, `add_nodes_from(range(n))`, "
                          "`add_edges_from(list(zip(u.tolist(), v.tolist(), w.tolist())))`, conversion timed",
        "directed_dijkstra": "`digraph_dijkstra_shortest_path_lengths(G, s, edge_cost_fn=float)`",
        "directed_bfs": "`bfs_layers(G, [s])`, layer index per node",
        "directed_weak": "`weakly_connected_components(G)` (a list of sets), labelled in Python",
        "directed_strong": "`strongly_connected_components(G)` (a list of lists), labelled in Python",
        "directed_pagerank": "`pagerank(G, alpha=0.85, weight_fn=float, tol=1e-6)`",
        "directed_degrees": "no bulk degrees (`in_degree(node)` one node per call)",
        "directed_clustering": "no local clustering coefficient",
        "directed_clustering_weighted": "no local clustering coefficient",
        "directed_betweenness": "`betweenness_centrality(G, normalized=True)` (parallel)",
        "directed_betweenness_weighted": "no weighted betweenness (`betweenness_centrality` counts hops)",
        "graph_build_ids": "ids mapped by `pandas.factorize`, then `PyGraph()`, `add_nodes_from(range(n))`, "
                           "`add_edges_from_no_data(list(zip(...)))`, all timed",
        "graph_build": "no array input: `PyGraph()`, `add_nodes_from(range(n))`, "
                       "`add_edges_from(list(zip(u.tolist(), v.tolist(), w.tolist())))`, conversion timed",
        "graph_components": "as component_labels",
        "graph_triangles": "as triangles",
        "graph_cores": "as core_number",
        "graph_clustering": "no local clustering coefficient",
        "graph_clustering_weighted": "no local clustering coefficient",
        "graph_transitivity": "as transitivity",
        "graph_betweenness": "as betweenness_all",
        "graph_betweenness_weighted": "no weighted betweenness (`betweenness_centrality` counts hops)",
        "weighted_louvain": "no community detection",
        "weighted_leiden": "no community detection",
        "build_list": "`PyGraph().extend_from_edge_list(list of tuples)` (multigraph default: "
                      "no duplicate check)",
        "build_numpy": "no array input: `extend_from_edge_list(list(zip(u.tolist(), v.tolist())))`, "
                       "conversion timed",
        "generate": "`undirected_gnm_random_graph(n, m, seed)`",
        "pagerank": "`pagerank(digraph, alpha=0.85, tol=1e-6/n)` on `to_directed()` made untimed "
                    "(PyDiGraph only); stops when L1 change < n*tol like NetworkX; dangling "
                    "mass redistributed uniformly",
        "triangles": "no triangle count: `transitivity(G)` x (sum of d(d-1)/2, untimed) / 3",
        "components": "`[len(c) for c in connected_components(G)]`",
        "distance": "`dijkstra_shortest_path_lengths(G, s, lambda e: 1.0, goal=t)` (no unweighted "
                    "single-pair search; faster here than `bfs_layers`)",
        "membership": "`[G.has_edge(a, b) for a, b in pairs]`",
        "export_pairs": "`list(G.edge_list())`",
        "export_flat": "`list(chain.from_iterable(G.edge_list()))`",
        "export_numpy": "`np.array(G.edge_list())` (no array export)",
        "export_scipy": "no sparse export (`adjacency_matrix` is dense)",
        "save_binary": "no binary format: `pickle.dump(G)`",
        "load_binary": "`pickle.load`",
        "read_text": "`PyGraph.read_edge_list(path, deliminator=' ')`",
        "component_labels": "`connected_components(G)` (a list of sets), labelled in Python",
        "bfs_all": "`bfs_layers(G, [s])`, layer index per node",
        "core_number": "`core_number(G)`",
        "clustering": "no local clustering coefficient",
        "avg_clustering": "no average clustering",
        "transitivity": "`transitivity(G)`",
        "betweenness": "no sampled sources (`betweenness_centrality` takes every node as a source)",
        "betweenness_all": "`betweenness_centrality(G, normalized=True)` (parallel)",
    }
    memory_build = "build_list"

    def load(self) -> None:
        import rustworkx

        self.rx = rustworkx

    def version(self) -> str:
        return self.rx.__version__

    def edge_count(self, graph) -> int:
        return graph.num_edges()

    def _build(self, make_pairs):
        rx = self.rx

        def call():
            g = rx.PyGraph()
            g.extend_from_edge_list(make_pairs())
            return g

        return call, self.edge_count

    def build_list(self, ctx: Context):
        pairs = ctx.pair_list()
        return self._build(lambda: pairs)

    def build_numpy(self, ctx: Context):
        u, v = ctx.u, ctx.v
        return self._build(lambda: list(zip(u.tolist(), v.tolist())))

    def generate(self, ctx: Context):
        n, m, seed = ctx.size_nodes, ctx.size_edges, ctx.seed
        return (lambda: self.rx.undirected_gnm_random_graph(n, m, seed=seed)), self.edge_count

    def pagerank(self, graph, ctx: Context):
        directed = graph.to_directed()
        tol = PAGERANK_TOL / ctx.n

        return (lambda: self.rx.pagerank(directed, alpha=DAMPING, tol=tol)), lambda result: save_score_mapping(ctx, result)

    def triangles(self, graph, ctx: Context):
        d = ctx.degrees().astype(np.float64)
        triples = float((d * (d - 1) / 2).sum())
        return (lambda: self.rx.transitivity(graph)), lambda t: int(round(t * triples / 3))

    def components(self, graph, ctx: Context):
        return (lambda: [len(c) for c in self.rx.connected_components(graph)]), sizes_summary

    def distance_between(self, graph):
        rx = self.rx

        def f(s, t):
            if s == t:
                return 0
            lengths = rx.dijkstra_shortest_path_lengths(graph, s, lambda _: 1.0, goal=t)
            return int(round(lengths[t])) if t in lengths else -1

        return f

    def membership(self, graph, ctx: Context):
        queries = ctx.query_list()
        has = graph.has_edge
        return (lambda: [has(a, b) for a, b in queries]), sum

    def export_pairs(self, graph, ctx: Context):
        return (lambda: list(graph.edge_list())), len

    def export_flat(self, graph, ctx: Context):
        return (lambda: flatten(graph.edge_list())), lambda r: len(r) // 2

    def export_numpy(self, graph, ctx: Context):
        return (lambda: np.array(graph.edge_list(), dtype=np.int64)), len

    def save_binary(self, graph, ctx: Context):
        return pickle_save_workload(graph, ctx)

    def load_binary(self, graph, ctx: Context):
        return pickle_load_workload(graph, ctx, self.edge_count)

    def read_text(self, ctx: Context):
        path, rx = ctx.text_file(), self.rx
        return (lambda: rx.PyGraph.read_edge_list(path, deliminator=" ")), self.edge_count

    @staticmethod
    def _component_labels(components, n: int):
        """Timed: the component list `components()` made into a label per node."""
        def call():
            labels = np.empty(n, dtype=np.int64)
            for i, component in enumerate(components()):
                labels[list(component)] = i
            return labels

        return call, labels_summary

    def component_labels(self, graph, ctx: Context):
        return self._component_labels(lambda: self.rx.connected_components(graph), ctx.n)

    def bfs_all(self, graph, ctx: Context):
        rx, s, n = self.rx, ctx.source, ctx.n

        def call():
            distances = np.full(n, -1, dtype=np.int64)
            for depth, layer in enumerate(rx.bfs_layers(graph, [s])):
                distances[layer] = depth
            return distances

        return call, lambda r: distance_summary(r, n)

    def core_number(self, graph, ctx: Context):
        return (lambda: self.rx.core_number(graph)), lambda r: core_summary(list(r.values()))

    def clustering(self, graph, ctx: Context):
        raise NotImplementedError("rustworkx has no local clustering coefficient")

    def avg_clustering(self, graph, ctx: Context):
        raise NotImplementedError("rustworkx has no average clustering")

    def transitivity(self, graph, ctx: Context):
        return (lambda: self.rx.transitivity(graph)), float_summary

    def betweenness(self, graph, ctx: Context):
        raise NotImplementedError("rustworkx takes every node as a source; see the every-source row")

    def betweenness_all(self, graph, ctx: Context):
        rx = self.rx
        call = lambda: rx.betweenness_centrality(graph, normalized=True, endpoints=False)  # noqa: E731
        return call, lambda r: float_summary(sum(r.values()))

    # ---- directed, weighted

    def _weighted_build(self, ctx: Context, directed: bool):
        rx, n, u, v, w = self.rx, ctx.n, ctx.u, ctx.v, ctx.weights()

        def call():
            g = rx.PyDiGraph() if directed else rx.PyGraph()
            g.add_nodes_from(range(n))
            g.add_edges_from(list(zip(u.tolist(), v.tolist(), w.tolist())))
            return g

        return call, self.edge_count

    def graph_build_ids(self, ctx: Context):
        rx, (u, v) = self.rx, ctx.scattered_ids()

        def call():
            cu, cv, n = factorized(u, v)
            g = rx.PyGraph()
            g.add_nodes_from(range(n))
            g.add_edges_from_no_data(list(zip(cu.tolist(), cv.tolist())))
            return g

        return call, lambda g: [g.num_nodes(), g.num_edges()]

    def directed_dijkstra(self, graph, ctx: Context):
        rx, s, n = self.rx, ctx.source, ctx.n

        def call():
            lengths = rx.digraph_dijkstra_shortest_path_lengths(graph, s, edge_cost_fn=float)
            distances = np.full(n, np.inf)
            distances[s] = 0.0
            distances[np.fromiter(lengths.keys(), np.int64)] = np.fromiter(lengths.values(), np.float64)
            return distances

        return call, dijkstra_summary

    def directed_bfs(self, graph, ctx: Context):
        return self.bfs_all(graph, ctx)

    def directed_weak(self, graph, ctx: Context):
        return self._component_labels(lambda: self.rx.weakly_connected_components(graph), ctx.n)

    def directed_strong(self, graph, ctx: Context):
        return self._component_labels(lambda: self.rx.strongly_connected_components(graph), ctx.n)

    def directed_pagerank(self, graph, ctx: Context):
        return (lambda: self.rx.pagerank(graph, alpha=DAMPING, weight_fn=float, tol=PAGERANK_TOL)), len
