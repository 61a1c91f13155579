"""NetworKit: C++ core parallelised with OpenMP (setNumberOfThreads)."""
from __future__ import annotations

from itertools import chain

import numpy as np

from .base import (BETWEENNESS_SOURCES, DAMPING, PAGERANK_TOL, Adapter, Context, community_summary, core_summary,
                   degree_summary, dijkstra_summary, distance_summary, factorized, file_size, flatten, float_summary,
                   labels_summary, save_scores, sizes_summary)


class NetworkitAdapter(Adapter):
    name = "networkit"
    multithreaded = True
    methods = {
        "directed_build": "`GraphFromCoo((w, (u, v)), n, directed=True, weighted=True)` (no duplicate check)",
        "directed_dijkstra": "`distance.Dijkstra(G, s, storePaths=False)`",
        "directed_bfs": "`distance.BFS(G, s, storePaths=False)`",
        "directed_weak": "`components.WeaklyConnectedComponents(G)`",
        "directed_strong": "`components.StronglyConnectedComponents(G)`",
        "directed_pagerank": "`centrality.PageRank(G, damp=0.85, tol=1e-6)` (weighted; its own stopping rule)",
        "directed_degrees": "`centrality.DegreeCentrality(G, outDeg=False / True)`",
        "directed_clustering": "none: `LocalClusteringCoefficient` is undirected only",
        "directed_clustering_weighted": "none: `LocalClusteringCoefficient` is undirected only",
        "directed_betweenness": "`centrality.Betweenness(graphtools.toUnweighted(G), normalized=True)` "
                                "(the copy untimed; parallel)",
        "directed_betweenness_weighted": "`centrality.Betweenness(G, normalized=True)` (parallel)",
        "graph_build": "`GraphFromCoo((w, (u, v)), n, weighted=True)` (no duplicate check)",
        "graph_build_ids": "ids mapped by `pandas.factorize`, then `GraphFromCoo((cu, cv), n)`, both timed",
        "graph_components": "as component_labels, on the weighted graph",
        "graph_triangles": "as triangles, on the weighted graph",
        "graph_cores": "as core_number (weights ignored)",
        "graph_clustering": "as clustering (weights ignored)",
        "graph_clustering_weighted": "none: `LocalClusteringCoefficient` ignores the weights",
        "graph_transitivity": "as transitivity, on the weighted graph",
        "graph_betweenness": "`centrality.Betweenness(graphtools.toUnweighted(G), normalized=True)` "
                             "(the copy untimed; parallel)",
        "graph_betweenness_weighted": "`centrality.Betweenness(G, normalized=True)` (parallel)",
        "weighted_louvain": "`community.PLM(G, refine=False)` on the weighted graph",
        "weighted_leiden": "`community.ParallelLeiden(G)` on the weighted graph",
        "build_list": "no list input: `np.fromiter` of the pairs, then `GraphFromCoo`, conversion timed",
        "build_numpy": "`GraphFromCoo((u, v), n)` (no duplicate check)",
        "generate": "`ErdosRenyiGenerator(n, p).generate()` with p = m / (n(n-1)/2): G(n, p) with "
                    "the same expected edge count (NetworKit has no G(n, m) generator)",
        "pagerank": "`centrality.PageRank(G, damp=0.85, tol=1e-6)` with `norm = L1_NORM`: stops when "
                    "L1 change <= 1e-6 (our rule); no sink handling, as ours",
        "triangles": "`sparsification.TriangleEdgeScore` summed / 3 (after untimed `indexEdges()`)",
        "components": "`components.ConnectedComponents(G).run().getComponentSizes()`",
        "pagerank20": "as above with `maxIterations = 20`, tol 0",
        "distance": "`distance.BidirectionalBFS(G, s, t, storePred=False)`",
        "distance_pairs": "as the far pair, once per pair",
        "membership": "`[G.hasEdge(a, b) for a, b in pairs]`",
        "export_pairs": "`list(G.iterEdges())`",
        "export_flat": "`list(chain.from_iterable(G.iterEdges()))`",
        "export_numpy": "no array export in this version: `np.fromiter` over `iterEdges()`",
        "export_scipy": "`algebraic.adjacencyMatrix(G)`",
        "save_binary": "`graphio.writeGraph(G, path, Format.NetworkitBinary)`",
        "load_binary": "`graphio.readGraph(path, Format.NetworkitBinary)`",
        "read_text": "`graphio.EdgeListReader(' ', 0).read(path)`",
        "component_labels": "`components.ConnectedComponents(G).run().getPartition().getVector()`",
        "bfs_all": "`distance.BFS(G, s, storePaths=False).run().getDistances(asarray=True)`",
        "core_number": "`centrality.CoreDecomposition(G).run().scores()` (parallel)",
        "clustering": "`centrality.LocalClusteringCoefficient(G, turbo=True).run().scores()`",
        "avg_clustering": "the mean of the `LocalClusteringCoefficient(G, turbo=True)` scores",
        "transitivity": "`globals.ClusteringCoefficient.exactGlobal(G)`",
        "betweenness": "`centrality.EstimateBetweenness(G, 16, normalized=True, parallel)` (parallel "
                       "with more than 1 thread)",
        "betweenness_all": "`centrality.Betweenness(G, normalized=True).run().scores()` (parallel)",
        "communities": "`community.PLM(G, refine=False).run()` (parallel; result depends on scheduling)",
        "communities_leiden": "`community.ParallelLeiden(G).run()` (3 iterations by default; parallel; result "
                              "depends on scheduling)",
    }

    def load(self) -> None:
        import networkit

        self.nk = networkit

    def version(self) -> str:
        return self.nk.__version__

    def set_threads(self, threads: int) -> None:
        self.nk.setNumberOfThreads(threads)

    def edge_count(self, graph) -> int:
        return graph.numberOfEdges()

    def build_list(self, ctx: Context):
        n, m, pairs = ctx.n, ctx.m, ctx.pair_list()

        def call():
            flat = np.fromiter(chain.from_iterable(pairs), dtype=np.int64, count=2 * m)
            return self.nk.GraphFromCoo((flat[0::2], flat[1::2]), n=n)

        return call, self.edge_count

    def build_numpy(self, ctx: Context):
        n, u, v = ctx.n, ctx.u, ctx.v
        return (lambda: self.nk.GraphFromCoo((u, v), n=n)), self.edge_count

    def generate(self, ctx: Context):
        n, m = ctx.size_nodes, ctx.size_edges
        p = m / (n * (n - 1) / 2)
        self.nk.setSeed(ctx.seed, False)
        return (lambda: self.nk.generators.ErdosRenyiGenerator(n, p).generate()), self.edge_count

    def pagerank(self, graph, ctx: Context):
        nk = self.nk

        def call():
            pr = nk.centrality.PageRank(graph, damp=DAMPING, tol=PAGERANK_TOL)
            pr.norm = nk.centrality.Norm.L1_NORM
            pr.run()
            return pr.scores()

        return call, lambda r: save_scores(ctx, np.asarray(r))

    def triangles(self, graph, ctx: Context):
        graph.indexEdges()
        nk = self.nk

        def call():
            score = nk.sparsification.TriangleEdgeScore(graph)
            score.run()
            return sum(score.scores()) // 3

        return call, lambda r: int(round(r))

    def components(self, graph, ctx: Context):
        nk = self.nk

        def call():
            cc = nk.components.ConnectedComponents(graph)
            cc.run()
            return list(cc.getComponentSizes().values())

        return call, sizes_summary

    def pagerank20(self, graph, ctx: Context):
        nk = self.nk

        def call():
            pr = nk.centrality.PageRank(graph, damp=DAMPING, tol=0.0)
            pr.norm = nk.centrality.Norm.L1_NORM
            pr.maxIterations = 20
            pr.run()
            return pr.scores()

        return call, len

    def distance_between(self, graph):
        nk, n = self.nk, graph.numberOfNodes()

        def f(s, t):
            search = nk.distance.BidirectionalBFS(graph, s, t, storePred=False)
            search.run()
            d = search.getDistance()
            return int(round(d)) if d <= n else -1

        return f

    def membership(self, graph, ctx: Context):
        queries = ctx.query_list()
        has = graph.hasEdge
        return (lambda: [has(a, b) for a, b in queries]), sum

    def export_pairs(self, graph, ctx: Context):
        return (lambda: list(graph.iterEdges())), len

    def export_flat(self, graph, ctx: Context):
        return (lambda: flatten(graph.iterEdges())), lambda r: len(r) // 2

    def export_numpy(self, graph, ctx: Context):
        m = graph.numberOfEdges()
        return (lambda: np.fromiter(chain.from_iterable(graph.iterEdges()), dtype=np.int64,
                                    count=2 * m).reshape(-1, 2)), len

    def export_scipy(self, graph, ctx: Context):
        return (lambda: self.nk.algebraic.adjacencyMatrix(graph)), lambda r: r.nnz

    def save_binary(self, graph, ctx: Context):
        path, nk = ctx.binary_path(".nkb"), self.nk
        return (lambda: nk.graphio.writeGraph(graph, path, nk.Format.NetworkitBinary)), file_size(path)

    def load_binary(self, graph, ctx: Context):
        path, nk = ctx.binary_path(".nkb"), self.nk
        nk.graphio.writeGraph(graph, path, nk.Format.NetworkitBinary)
        return (lambda: nk.graphio.readGraph(path, nk.Format.NetworkitBinary)), self.edge_count

    def read_text(self, ctx: Context):
        path, nk = ctx.text_file(), self.nk
        return (lambda: nk.graphio.EdgeListReader(" ", 0).read(path)), self.edge_count

    def component_labels(self, graph, ctx: Context):
        nk = self.nk
        return (lambda: nk.components.ConnectedComponents(graph).run().getPartition().getVector()), labels_summary

    def bfs_all(self, graph, ctx: Context):
        nk, s, n = self.nk, ctx.source, ctx.n
        call = lambda: nk.distance.BFS(graph, s, storePaths=False).run().getDistances(asarray=True)  # noqa: E731
        return call, lambda r: distance_summary(r, n)

    def core_number(self, graph, ctx: Context):
        nk = self.nk
        return (lambda: nk.centrality.CoreDecomposition(graph).run().scores()), core_summary

    def _local_clustering(self, graph):
        return self.nk.centrality.LocalClusteringCoefficient(graph, turbo=True).run().scores()

    def clustering(self, graph, ctx: Context):
        return (lambda: self._local_clustering(graph)), lambda r: float_summary(sum(r))

    def avg_clustering(self, graph, ctx: Context):
        return (lambda: float(np.mean(self._local_clustering(graph)))), float_summary

    def transitivity(self, graph, ctx: Context):
        nk = self.nk
        return (lambda: nk.globals.ClusteringCoefficient.exactGlobal(graph)), float_summary

    def betweenness(self, graph, ctx: Context):
        nk, parallel = self.nk, self.nk.getMaxNumberOfThreads() > 1

        def call():
            return nk.centrality.EstimateBetweenness(graph, BETWEENNESS_SOURCES, True, parallel).run().scores()

        return call, len

    def betweenness_all(self, graph, ctx: Context):
        nk = self.nk
        call = lambda: nk.centrality.Betweenness(graph, normalized=True).run().scores()  # noqa: E731
        return call, lambda r: float_summary(sum(r))

    def _communities(self, graph, algorithm):
        nk = self.nk

        def call():
            run = algorithm(graph)
            run.run()
            return run.getPartition()

        def inspect(partition):
            return community_summary(partition.getVector(), nk.community.Modularity().getQuality(partition, graph))

        return call, inspect

    def communities(self, graph, ctx: Context):
        self.nk.setSeed(ctx.seed, False)
        return self._communities(graph, lambda g: self.nk.community.PLM(g, refine=False))

    def communities_leiden(self, graph, ctx: Context):
        self.nk.setSeed(ctx.seed, False)
        return self._communities(graph, self.nk.community.ParallelLeiden)

    # ---- directed, weighted

    def _weighted_build(self, ctx: Context, directed: bool):
        n, u, v, w = ctx.n, ctx.u, ctx.v, ctx.weights()
        return (lambda: self.nk.GraphFromCoo((w, (u, v)), n, directed=directed, weighted=True)), self.edge_count

    def graph_build_ids(self, ctx: Context):
        u, v = ctx.scattered_ids()

        def call():
            cu, cv, n = factorized(u, v)
            return self.nk.GraphFromCoo((cu, cv), n)

        return call, lambda g: [g.numberOfNodes(), g.numberOfEdges()]

    def _hops(self, graph):
        """An unweighted copy (made untimed): NetworKit's betweenness follows the weights."""
        return self.nk.graphtools.toUnweighted(graph)

    def directed_betweenness(self, graph, ctx: Context):
        return self.betweenness_all(self._hops(graph), ctx)

    def directed_betweenness_weighted(self, graph, ctx: Context):
        return self.betweenness_all(graph, ctx)

    graph_betweenness = directed_betweenness
    graph_betweenness_weighted = directed_betweenness_weighted

    def directed_dijkstra(self, graph, ctx: Context):
        def call():
            d = self.nk.distance.Dijkstra(graph, ctx.source, storePaths=False)
            d.run()
            return d.getDistances(asarray=True)

        return call, dijkstra_summary

    def directed_bfs(self, graph, ctx: Context):
        def call():
            b = self.nk.distance.BFS(graph, ctx.source, storePaths=False)
            b.run()
            return b.getDistances(asarray=True)

        return call, lambda d: distance_summary(d, ctx.n)

    def _partition(self, graph, algorithm):
        def call():
            a = algorithm(graph)
            a.run()
            return a.getPartition().getVector()

        return call, labels_summary

    def directed_weak(self, graph, ctx: Context):
        return self._partition(graph, self.nk.components.WeaklyConnectedComponents)

    def directed_strong(self, graph, ctx: Context):
        return self._partition(graph, self.nk.components.StronglyConnectedComponents)

    def directed_pagerank(self, graph, ctx: Context):
        return (lambda: self.nk.centrality.PageRank(graph, DAMPING, PAGERANK_TOL).run().scores()), len

    def directed_degrees(self, graph, ctx: Context):
        def degrees(out):
            d = self.nk.centrality.DegreeCentrality(graph, outDeg=out)
            d.run()
            return d.scores()

        return (lambda: (degrees(False), degrees(True))), lambda d: degree_summary(*d)
