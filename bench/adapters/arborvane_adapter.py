"""arborvane: IntGraphCore, the library under test."""
from __future__ import annotations

import numpy as np

from .base import PAGERANK_TOL, Adapter, Context, file_size, save_scores, sizes_summary


def _flat(ctx: Context) -> np.ndarray:
    flat = np.empty(2 * ctx.m, dtype=np.int64)
    flat[0::2] = ctx.u
    flat[1::2] = ctx.v
    return flat


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
        "distance": "`shortest_path_length(s, t)`: BFS from both ends, layer by layer",
        "membership": "`has_edges(list of tuples)` (parallel)",
        "export_pairs": "`edges()`",
        "export_flat": "`edges_flat()`",
        "export_numpy": "`arborvane.edge_array(g)`: (m, 2) int64",
        "export_scipy": "`arborvane.to_scipy_sparse(g)` (snapshot cached after warm-up)",
        "save_binary": "`arborvane.save(g, path)`: ids, degrees, sorted neighbour runs, XXH64",
        "load_binary": "`arborvane.load(path)`: every byte checked",
        "read_text": "`arborvane.read_edgelist(path)`",
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

    def distance(self, graph, ctx: Context):
        s, t = ctx.source, ctx.target
        return (lambda: graph.shortest_path_length(s, t)), int

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
