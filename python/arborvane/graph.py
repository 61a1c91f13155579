"""arborvane.Graph: an immutable directed or undirected, optionally weighted
graph with nodes of any hashable label, built once from arrays.

The graph is compressed sparse rows over node indices 0..n-1 held in
read-only numpy arrays: the out-rows, for a directed graph also the
in-rows, and per entry an optional float64 (or float32) weight. ``labels``
maps each index back to the node as given; every per-node result is a pair
``(labels, values)`` aligned with it. The analytics run natively on those
arrays (arborvane._arrays), detached from the interpreter.

Parallel edges (the same ordered pair in a directed graph, the same
unordered pair in an undirected one) are merged by the ``duplicates`` rule:
``"sum"`` adds their weights (NetworkX's rule for multigraphs and SciPy's
for sparse matrices), ``"min"`` keeps the least, ``"last"`` keeps the last
one given (what ``networkx.Graph.add_edge`` does), ``"error"`` raises.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np

from arborvane._native import arrays as _native

if TYPE_CHECKING:
    from collections.abc import Hashable, Mapping

    from numpy.typing import ArrayLike, DTypeLike, NDArray

__all__ = ["Graph", "from_edges", "from_pandas_edgelist"]

_Rows = tuple["NDArray[np.int64]", "NDArray[Any]", "NDArray[Any] | None"]  # indptr, indices, weights

_DUPLICATES = ("sum", "min", "last", "error")


class Graph:
    """An immutable graph over labelled nodes, directed or not, with optional
    edge weights, stored as compressed sparse rows.

    Build one with ``arborvane.from_edges``, ``from_pandas_edgelist``,
    ``Graph.from_networkx``, ``Graph.from_scipy_sparse`` or
    ``Graph.read_edgelist``. Per-node results are ``(labels, values)`` with
    ``labels`` the graph's ``labels`` array. An unweighted graph's edges all
    weigh 1.

    Examples:
        >>> import arborvane
        >>> g = arborvane.from_edges(["a", "b"], ["b", "c"], weights=[2.0, 0.5], directed=True)
        >>> g
        <arborvane.Graph directed, 3 nodes, 2 edges, weighted>
        >>> g.shortest_path("a", "c"), g.shortest_path_length("a", "c")
        (['a', 'b', 'c'], 2.5)
    """

    __slots__ = ("_labels", "_directed", "_rows", "_in_rows", "_edge_count", "_lookup", "_analytic_rows")
    _labels: NDArray[Any]
    _directed: bool
    _rows: _Rows
    _in_rows: _Rows
    _edge_count: int
    _lookup: dict[Any, int] | None
    _analytic_rows: tuple[Any, Any]  # (indptr, indices) as the undirected analytics take them

    def __init__(self) -> None:
        raise TypeError("build a Graph with arborvane.from_edges() or one of the Graph.from_* constructors")

    @classmethod
    def _make(
        cls,
        labels: NDArray[Any],
        directed: bool,
        rows: _Rows,
        in_rows: _Rows,
        edge_count: int,
        lookup: dict[Any, int] | None,
        built: tuple[Any, Any] | None = None,
    ) -> Graph:
        """``built``: the native (indptr, indices) that csr_build wrote and
        ``rows`` views, for the undirected analytics; they vouch for their
        own shape, so the analytics skip the check of it. Without them the
        rows are checked natively on every call."""
        g = object.__new__(cls)
        for array in (labels, *rows, *in_rows):
            if array is not None:
                array.flags.writeable = False
        g._labels, g._directed, g._rows, g._in_rows = labels, directed, rows, in_rows
        g._edge_count, g._lookup = edge_count, lookup
        g._analytic_rows = rows[:2] if built is None else built
        return g

    def __reduce__(self) -> tuple[Any, ...]:
        # Pickled (and deep-copied) as its numpy arrays: the copy's rows are
        # no longer the build's own, so its analytics check them on every call.
        return Graph._make, (self._labels, self._directed, self._rows, self._in_rows, self._edge_count, self._lookup)

    # ---- structure ------------------------------------------------------------

    @property
    def labels(self) -> NDArray[Any]:
        """The node labels in index order (read-only); per-node results align with it."""
        return self._labels

    @property
    def directed(self) -> bool:
        """Whether edges have a direction."""
        return self._directed

    @property
    def weighted(self) -> bool:
        """Whether edges carry weights (otherwise every weight is 1)."""
        return self._rows[2] is not None

    def __len__(self) -> int:
        return len(self._labels)

    def number_of_nodes(self) -> int:
        """The number of nodes."""
        return len(self._labels)

    def number_of_edges(self) -> int:
        """The number of edges after merging parallel ones (a self-loop counts once)."""
        return self._edge_count

    def __repr__(self) -> str:
        kind = "directed" if self._directed else "undirected"
        weights = ", weighted" if self.weighted else ""
        return f"<arborvane.Graph {kind}, {len(self)} nodes, {self._edge_count} edges{weights}>"

    def csr(self, incoming: bool = False) -> _Rows:
        """The rows as ``(indptr, indices, weights)`` (read-only arrays).

        Parameters:
            incoming: The in-rows of a directed graph (the out-rows otherwise;
                an undirected graph has one set of rows).

        Returns:
            ``indptr`` (int64, n + 1), ``indices`` (int32, or int64 beyond 2**31
            nodes; ascending within each row) and ``weights`` aligned with
            ``indices``, or None for an unweighted graph.

        Examples:
            >>> import arborvane
            >>> arborvane.from_edges([0], [1]).csr()[0].tolist()
            [0, 1, 2]
        """
        return self._in_rows if incoming else self._rows

    def index_of(self, label: Hashable) -> int:
        """The index of the node ``label``.

        Raises:
            KeyError: ``label`` is not a node.

        Examples:
            >>> import arborvane
            >>> arborvane.from_edges(["x"], ["y"]).index_of("y")
            1
        """
        if self._lookup is not None:
            return self._lookup[label]
        labels = self._labels
        try:
            i = int(np.searchsorted(labels, label))  # type: ignore[call-overload]
            if i < len(labels) and labels[i] == label:
                return i
        except (TypeError, ValueError):
            pass
        raise KeyError(label)

    # ---- degrees ----------------------------------------------------------------

    def out_degree(self, weighted: bool = False) -> tuple[NDArray[Any], NDArray[Any]]:
        """Out-degree of every node: its number of out-edges, or with
        ``weighted`` their total weight. For an undirected graph this is
        ``degree()``.

        Returns:
            ``(labels, degrees)``: int64 counts or float64 weight sums.

        Examples:
            >>> import arborvane
            >>> arborvane.from_edges([1, 1], [2, 3], directed=True).out_degree()[1].tolist()
            [2, 0, 0]
        """
        return self._one_way_degree(self._rows, weighted)

    def in_degree(self, weighted: bool = False) -> tuple[NDArray[Any], NDArray[Any]]:
        """In-degree of every node (count, or total weight with ``weighted``),
        as ``(labels, degrees)``; ``degree()`` for an undirected graph.

        Examples:
            >>> import arborvane
            >>> arborvane.from_edges([1, 1], [2, 3], directed=True).in_degree()[1].tolist()
            [0, 1, 1]
        """
        return self._one_way_degree(self._in_rows, weighted)

    def _one_way_degree(self, rows: _Rows, weighted: bool) -> tuple[NDArray[Any], NDArray[Any]]:
        return self.degree(weighted) if not self._directed else (self._labels, _row_sums(rows, weighted))

    def degree(self, weighted: bool = False) -> tuple[NDArray[Any], NDArray[Any]]:
        """Degree of every node as NetworkX counts it: in plus out for a
        directed graph; for an undirected one a self-loop counts twice.
        With ``weighted``, the sum of the edges' weights counted the same way.

        Returns:
            ``(labels, degrees)``: int64 counts or float64 weight sums.

        Examples:
            >>> import arborvane
            >>> arborvane.from_edges([1, 1], [1, 2]).degree()[1].tolist()
            [3, 1]
        """
        if self._directed:
            return self._labels, _row_sums(self._rows, weighted) + _row_sums(self._in_rows, weighted)
        indptr, indices, weights = self._rows
        rows = np.repeat(np.arange(len(self), dtype=indices.dtype), np.diff(indptr))
        loops = rows == indices
        loop_weights = weights[loops] if weighted and weights is not None else None
        return self._labels, _row_sums(self._rows, weighted) + np.bincount(
            rows[loops], weights=loop_weights, minlength=len(self)
        )

    # ---- searches -----------------------------------------------------------------

    def dijkstra(self, source: Hashable) -> tuple[NDArray[Any], NDArray[np.float64]]:
        """Least total weight of a path from ``source`` to every node
        (along the edges' direction), by Dijkstra's algorithm.

        Parameters:
            source: A node label.

        Returns:
            ``(labels, distances)``: float64, ``inf`` where unreachable.

        Raises:
            KeyError: ``source`` is not a node.
            ValueError: a weight is negative (or NaN); Dijkstra needs weights >= 0.

        Examples:
            >>> import arborvane
            >>> g = arborvane.from_edges([0, 1], [1, 2], weights=[1.5, 2.0], directed=True)
            >>> g.dijkstra(1)[1].tolist()
            [inf, 0.0, 2.0]
        """
        dist, _ = _native.csr_dijkstra(*self._rows, self.index_of(source), None)
        return self._labels, np.asarray(dist)

    def shortest_path(self, source: Hashable, target: Hashable) -> list[Any]:
        """One path of least total weight from ``source`` to ``target``, as
        a list of labels (ties go to the path through smaller indices).

        Raises:
            KeyError: ``source`` or ``target`` is not a node.
            ValueError: no path leads from ``source`` to ``target``, or a
                weight is negative.

        Examples:
            >>> import arborvane
            >>> arborvane.from_edges([0, 0, 1], [1, 2, 2], weights=[1, 5, 1]).shortest_path(0, 2)
            [0, 1, 2]
        """
        _, path = self._path(source, target)
        return self._labels[path].tolist()  # type: ignore[no-any-return]

    def shortest_path_length(self, source: Hashable, target: Hashable) -> float:
        """The least total weight of a path from ``source`` to ``target``.

        Raises:
            KeyError: ``source`` or ``target`` is not a node.
            ValueError: no path leads there, or a weight is negative.

        Examples:
            >>> import arborvane
            >>> arborvane.from_edges([0, 0, 1], [1, 2, 2], weights=[1, 5, 1]).shortest_path_length(0, 2)
            2.0
        """
        return self._path(source, target)[0]

    def _path(self, source: Hashable, target: Hashable) -> tuple[float, list[int]]:
        s, t = self.index_of(source), self.index_of(target)
        dist, pred = _native.csr_dijkstra(*self._rows, s, t)
        pred = np.asarray(pred)
        length = float(np.asarray(dist)[t])
        if length == np.inf:
            raise ValueError(f"no path from {source!r} to {target!r}")
        path = [t]
        while path[-1] != s:
            path.append(int(pred[path[-1]]))
        return length, path[::-1]

    def bfs_distances(self, source: Hashable) -> tuple[NDArray[Any], NDArray[np.int64]]:
        """Hops from ``source`` to every node along the edges' direction
        (weights ignored), -1 where unreachable.

        Raises:
            KeyError: ``source`` is not a node.

        Examples:
            >>> import arborvane
            >>> arborvane.from_edges([0, 1], [1, 2], directed=True).bfs_distances(1)[1].tolist()
            [-1, 0, 1]
        """
        indptr, indices, _ = self._rows
        return self._labels, np.asarray(_native.csr_bfs(indptr, indices, None, self.index_of(source)))

    # ---- components -----------------------------------------------------------------

    def weakly_connected_components(self) -> tuple[NDArray[Any], NDArray[np.int64]]:
        """The component of every node, direction ignored, numbered 0, 1, ...
        in the order of each component's first node (in ``labels`` order).

        Returns:
            ``(labels, component)`` with int64 component numbers.

        Examples:
            >>> import arborvane
            >>> arborvane.from_edges([0, 2], [1, 3], directed=True).weakly_connected_components()[1].tolist()
            [0, 0, 1, 1]
        """
        indptr, indices, _ = self._rows
        return self._labels, np.asarray(_native.csr_components(indptr, indices, None, False))

    def strongly_connected_components(self) -> tuple[NDArray[Any], NDArray[np.int64]]:
        """The strongly connected component of every node (nodes that reach
        each other along the edges' direction), numbered like
        ``weakly_connected_components``; the same as it for an undirected
        graph.

        Examples:
            >>> import arborvane
            >>> g = arborvane.from_edges([0, 1, 1], [1, 0, 2], directed=True)
            >>> g.strongly_connected_components()[1].tolist()
            [0, 0, 1]
        """
        indptr, indices, _ = self._rows
        return self._labels, np.asarray(_native.csr_components(indptr, indices, None, True))

    # ---- PageRank ----------------------------------------------------------------------

    def pagerank(
        self,
        alpha: float = 0.85,
        personalization: Mapping[Any, float] | None = None,
        max_iter: int = 100,
        tol: float = 1e-6,
        nstart: Mapping[Any, float] | None = None,
        dangling: Mapping[Any, float] | None = None,
        weighted: bool = True,
    ) -> tuple[NDArray[Any], NDArray[np.float64]]:
        """PageRank along the edges' direction, weighted by the edge weights,
        as ``networkx.pagerank`` computes it (same parameters, same
        convergence rule: stop once the L1 change is below ``n * tol``).

        Parameters:
            alpha: Damping factor.
            personalization: Teleport weights by label (missing labels 0);
                None: uniform.
            max_iter: Most iterations.
            tol: Convergence tolerance.
            nstart: Start values by label; None: uniform.
            dangling: Where the rank of nodes without out-edges goes, by
                label; None: as ``personalization``.
            weighted: False: every edge weighs 1 (NetworkX's ``weight=None``).

        Returns:
            ``(labels, scores)``, scores summing to 1; the same bits for any
            number of threads.

        Raises:
            ZeroDivisionError: ``personalization``, ``nstart`` or ``dangling``
                sums to zero.
            RuntimeError: no convergence within ``max_iter`` iterations.

        Examples:
            >>> import arborvane
            >>> g = arborvane.from_edges([0, 1], [1, 0], directed=True)
            >>> g.pagerank()[1].round(3).tolist()
            [0.5, 0.5]
        """
        n = len(self)
        if n == 0:
            return self._labels, np.zeros(0)
        uniform = np.full(n, 1.0 / n)
        p = uniform if personalization is None else self._per_node(personalization, "personalization")
        x = uniform if nstart is None else self._per_node(nstart, "nstart")
        d = p if dangling is None else self._per_node(dangling, "dangling")
        rows, in_rows = self._weighted_rows(weighted)
        scores, iterations = _native.csr_pagerank(*rows, *in_rows, float(alpha), max_iter, float(tol), p, d, x)
        if iterations == 0:
            raise RuntimeError(f"pagerank: power iteration failed to converge within {max_iter} iterations")
        return self._labels, np.asarray(scores)

    def _per_node(self, values: Mapping[Any, float], name: str) -> NDArray[np.float64]:
        """A label -> value mapping as an array in index order, divided by its sum."""
        array = np.zeros(len(self))
        for label, value in values.items():
            try:
                array[self.index_of(label)] = value
            except KeyError:
                continue  # NetworkX ignores labels that are not nodes
        total = array.sum()
        if total == 0:
            raise ZeroDivisionError(f"pagerank: {name} sums to zero")
        normalised: NDArray[np.float64] = array / total
        return normalised

    # ---- undirected analytics --------------------------------------------------------
    #
    # The kernels of IntGraphCore's snapshot analytics, run over this graph's
    # rows where numpy holds them: no copy of the adjacency, only a degree
    # array of n uint32 values per call. Edge weights are ignored.

    def _undirected_rows(self, name: str) -> tuple[Any, Any]:
        """The (indptr, indices) of an undirected graph; ValueError for a directed one."""
        if self._directed:
            raise ValueError(f"Graph.{name}() needs an undirected graph; this one is directed")
        return self._analytic_rows

    def connected_components(self) -> tuple[NDArray[Any], NDArray[np.int64]]:
        """The connected component of every node of an undirected graph,
        numbered 0, 1, ... in the order of each component's first node (in
        ``labels`` order), as ``weakly_connected_components`` numbers them.

        Returns:
            ``(labels, component)`` with int64 component numbers.

        Raises:
            ValueError: the graph is directed (use
                ``weakly_connected_components`` or
                ``strongly_connected_components``).

        Examples:
            >>> import arborvane
            >>> arborvane.from_edges([0, 2], [1, 3]).connected_components()[1].tolist()
            [0, 0, 1, 1]
        """
        return self._labels, np.asarray(_native.csr_component_labels(*self._undirected_rows("connected_components")))

    def triangles(self) -> tuple[NDArray[Any], NDArray[np.int64]]:
        """The number of triangles through every node of an undirected graph
        (``networkx.triangles``); self-loops and weights are ignored.

        Returns:
            ``(labels, triangles)`` with int64 counts.

        Raises:
            ValueError: the graph is directed.

        Examples:
            >>> import arborvane
            >>> g = arborvane.from_edges(["a", "b", "c", "c"], ["b", "c", "a", "d"])
            >>> dict(zip(g.labels.tolist(), g.triangles()[1].tolist()))
            {'a': 1, 'b': 1, 'c': 1, 'd': 0}
        """
        return self._labels, np.asarray(_native.csr_triangles(*self._undirected_rows("triangles")))

    def triangle_count(self) -> int:
        """The number of triangles of an undirected graph (a third of the sum
        of ``triangles()``); self-loops and weights are ignored.

        Returns:
            The count, an int.

        Raises:
            ValueError: the graph is directed.

        Examples:
            >>> import arborvane
            >>> arborvane.from_edges([0, 1, 2, 2], [1, 2, 0, 3]).triangle_count()
            1
        """
        return int(_native.csr_triangle_count(*self._undirected_rows("triangle_count")))

    def core_number(self) -> tuple[NDArray[Any], NDArray[np.int64]]:
        """The k-core number of every node of an undirected graph
        (``networkx.core_number``): the largest k such that the node belongs
        to a subgraph where every node has degree k or more. Self-loops and
        weights are ignored.

        Returns:
            ``(labels, core)`` with int64 core numbers.

        Raises:
            ValueError: the graph is directed.

        Examples:
            >>> import itertools, arborvane
            >>> u, v = zip(*itertools.combinations(range(4), 2))  # a 4-clique ...
            >>> arborvane.from_edges(u + (3,), v + (4,)).core_number()[1].tolist()  # ... and a pendant
            [3, 3, 3, 3, 1]
        """
        return self._labels, np.asarray(_native.csr_core_numbers(*self._undirected_rows("core_number")))

    def average_clustering(self) -> float:
        """The mean of ``clustering()`` over all nodes (0.0 without nodes), as
        ``networkx.average_clustering``; unweighted, undirected.

        Returns:
            A float, within one unit in the last place of NetworkX's.

        Raises:
            ValueError: the graph is directed.

        Examples:
            >>> import arborvane
            >>> round(arborvane.from_edges([0, 1, 2, 2], [1, 2, 0, 3]).average_clustering(), 4)
            0.5833
        """
        return float(_native.csr_average_clustering(*self._undirected_rows("average_clustering")))

    def transitivity(self) -> float:
        """Three times the triangles over the connected triples of an
        undirected graph (0.0 without triangles), as
        ``networkx.transitivity``; self-loops and weights are ignored.

        Returns:
            A float, NetworkX's to the last bit.

        Raises:
            ValueError: the graph is directed.

        Examples:
            >>> import arborvane
            >>> arborvane.from_edges([0, 1, 2, 2], [1, 2, 0, 3]).transitivity()
            0.6
        """
        return float(_native.csr_transitivity(*self._undirected_rows("transitivity")))

    # ---- clustering and betweenness ------------------------------------------------------

    def clustering(self, weighted: bool = False) -> tuple[NDArray[Any], NDArray[np.float64]]:
        """Local clustering coefficient of every node, as
        ``networkx.clustering`` computes it (``weight="weight"`` when
        ``weighted``); self-loops are ignored.

        Undirected: ``2 T / (d (d - 1))`` with ``T`` the triangles through the
        node and ``d`` its degree. Directed (Fagiolo's definition):
        ``T / (2 (d (d - 1) - 2 r))`` with ``T`` the directed triangles (each
        edge of the triangle in either direction), ``d`` the in- plus
        out-degree and ``r`` the neighbours joined both ways. Weighted, a
        triangle counts the geometric mean of its three weights, each
        divided by the graph's largest weight.

        Parameters:
            weighted: Use the edge weights (an unweighted graph's are all 1).

        Returns:
            ``(labels, coefficients)``, float64; the same bits for any number
            of threads.

        Raises:
            ZeroDivisionError: ``weighted`` and the largest weight is 0.

        Examples:
            >>> import arborvane
            >>> g = arborvane.from_edges([0, 1, 2, 2], [1, 2, 0, 3], weights=[1.0, 1.0, 0.125, 1.0])
            >>> g.clustering()[1].tolist()
            [1.0, 1.0, 0.3333333333333333, 0.0]
            >>> g.clustering(weighted=True)[1].round(3).tolist()
            [0.5, 0.5, 0.167, 0.0]
        """
        if not weighted and not self._directed:
            # Integer triangle counts: the kernel IntGraphCore's clustering runs.
            return self._labels, np.asarray(_native.csr_undirected_clustering(*self._analytic_rows))
        rows, in_rows = self._weighted_rows(weighted)
        values = _native.csr_clustering(*rows, *(in_rows if self._directed else (None, None, None)))
        return self._labels, np.asarray(values)

    def betweenness_centrality(
        self, normalized: bool = True, weighted: bool = False, endpoints: bool = False
    ) -> tuple[NDArray[Any], NDArray[np.float64]]:
        """Betweenness centrality of every node, as
        ``networkx.betweenness_centrality`` computes it (``weight="weight"``
        when ``weighted``): the sum over pairs of other nodes ``s, t`` of the
        share of shortest ``s``-``t`` paths through the node, along the
        edges' direction. Shortest means fewest edges, or with ``weighted``
        least total weight (weights are lengths; Brandes' algorithm over
        Dijkstra).

        Parameters:
            normalized: Divide by the number of ordered pairs ``s, t`` that
                could pass through a node, ``(N - 1) (N - 2)`` with ``N``
                nodes (``N (N - 1)`` with ``endpoints``); otherwise an
                undirected graph's scores are halved (each pair counted once).
            weighted: Shortest paths by weight instead of by edge count.
            endpoints: Count the path's ends as on the path.

        Returns:
            ``(labels, scores)``, float64; the same bits for any number of
            threads.

        Raises:
            ValueError: ``weighted`` and a weight is negative or NaN.

        Examples:
            >>> import arborvane
            >>> g = arborvane.from_edges([0, 0, 1], [1, 2, 2], weights=[1.0, 3.0, 1.0], directed=True)
            >>> g.betweenness_centrality()[1].tolist()
            [0.0, 0.0, 0.0]
            >>> g.betweenness_centrality(weighted=True)[1].tolist()
            [0.0, 0.5, 0.0]
        """
        rows, _ = self._weighted_rows(weighted)
        values = _native.csr_betweenness(*rows, self._directed, normalized, endpoints)
        return self._labels, np.asarray(values)

    def _weighted_rows(self, weighted: bool) -> tuple[_Rows, _Rows]:
        """The out- and in-rows, without their weights unless ``weighted``."""
        if weighted:
            return self._rows, self._in_rows
        return (*self._rows[:2], None), (*self._in_rows[:2], None)

    # ---- conversions --------------------------------------------------------------------

    def edges(self) -> tuple[NDArray[Any], NDArray[Any], NDArray[Any] | None]:
        """Every edge once as ``(sources, targets, weights)`` label arrays in
        row order (an undirected edge with source <= target by index);
        ``weights`` None for an unweighted graph.

        Examples:
            >>> import arborvane
            >>> [a.tolist() for a in arborvane.from_edges([2], [1]).edges()[:2]]
            [[1], [2]]
        """
        indptr, indices, weights = self._rows
        rows = np.repeat(np.arange(len(self)), np.diff(indptr))
        keep = slice(None) if self._directed else rows <= indices
        w = None if weights is None else weights[keep]
        return self._labels[rows[keep]], self._labels[indices[keep]], w

    @classmethod
    def from_networkx(cls, graph: Any, weight: str | None = "weight", default: float = 1.0) -> Graph:
        """A Graph from a NetworkX graph: directed for a DiGraph, with the
        ``weight`` attribute as weights (``default`` where absent; ``weight``
        None: unweighted). Parallel edges of a multigraph add up.

        Examples:
            >>> import networkx as nx, arborvane
            >>> arborvane.Graph.from_networkx(nx.DiGraph([("a", "b", {"weight": 3})]))
            <arborvane.Graph directed, 2 nodes, 1 edges, weighted>
        """
        nodes = list(graph)
        if weight is None:
            pairs = list(graph.edges())
            w = None
        else:
            triples = list(graph.edges(data=weight, default=default))
            pairs = [(a, b) for a, b, _ in triples]
            w = np.array([t[2] for t in triples], dtype=np.float64)
        u = _object_array([a for a, _ in pairs])
        v = _object_array([b for _, b in pairs])
        return from_edges(u, v, weights=w, directed=graph.is_directed(), duplicates="sum", nodes=_object_array(nodes))

    def to_networkx(self) -> Any:
        """The graph as a ``networkx.DiGraph`` or ``networkx.Graph``, with a
        ``weight`` attribute on every edge of a weighted graph.

        Examples:
            >>> import arborvane
            >>> arborvane.from_edges([1], [2], weights=[0.5]).to_networkx().edges(data=True)
            EdgeDataView([(1, 2, {'weight': 0.5})])
        """
        try:
            import networkx as nx  # type: ignore[import-untyped,unused-ignore]
        except ImportError:
            raise ImportError('Graph.to_networkx() needs NetworkX: pip install "arborvane[networkx]"') from None
        g = nx.DiGraph() if self._directed else nx.Graph()
        g.add_nodes_from(self._labels.tolist())
        u, v, w = self.edges()
        if w is None:
            g.add_edges_from(zip(u.tolist(), v.tolist()))
        else:
            g.add_weighted_edges_from(zip(u.tolist(), v.tolist(), w.tolist()))
        return g

    @classmethod
    def from_scipy_sparse(cls, matrix: Any, labels: ArrayLike | None = None, directed: bool | None = None) -> Graph:
        """A Graph from a square SciPy sparse matrix: entry (i, j) is an edge
        i -> j weighted by its value (stored zeros included).

        Parameters:
            matrix: The adjacency matrix.
            labels: The node labels, one per row; None: 0..n-1.
            directed: None: directed exactly when the matrix is not symmetric.
                An undirected graph reads the upper triangle.

        Raises:
            ValueError: the matrix is not square, or ``labels`` has the wrong length.

        Examples:
            >>> import scipy.sparse, arborvane
            >>> arborvane.Graph.from_scipy_sparse(scipy.sparse.csr_array([[0, 2], [0, 0]]))
            <arborvane.Graph directed, 2 nodes, 1 edges, weighted>
        """
        coo = matrix.tocoo()
        n = coo.shape[0]
        if coo.shape[0] != coo.shape[1]:
            raise ValueError(f"Graph.from_scipy_sparse(): matrix must be square, got shape {coo.shape}")
        nodes = np.arange(n) if labels is None else np.asarray(labels)
        if len(nodes) != n:
            raise ValueError(f"Graph.from_scipy_sparse(): labels must have {n} entries, got {len(nodes)}")
        coo.sum_duplicates()
        if directed is None:
            directed = (abs(coo - coo.T) != 0).nnz > 0 or _has_unmatched_stored(coo)
        keep = slice(None) if directed else coo.row <= coo.col
        row, col = coo.row[keep], coo.col[keep]
        return from_edges(nodes[row], nodes[col], weights=coo.data[keep], directed=directed, nodes=nodes)

    @classmethod
    def read_edgelist(cls, path: str, **options: Any) -> Graph:
        """A Graph from an edge-list text file; see
        ``arborvane.graph_io.read_graph_edgelist`` for the options.

        Examples:
            >>> import arborvane, tempfile, os
            >>> path = os.path.join(tempfile.mkdtemp(), "g.txt")
            >>> _ = open(path, "w").write("a b 2.5\\nb c 1\\n")
            >>> arborvane.Graph.read_edgelist(path, directed=True).shortest_path_length("a", "c")
            3.5
        """
        from arborvane.graph_io import read_graph_edgelist

        return read_graph_edgelist(path, **options)


def _has_unmatched_stored(coo: Any) -> bool:
    """Whether some stored entry (i, j) has no stored (j, i): a stored zero
    opposite an absent entry is still an edge in one direction only."""
    pattern = coo.copy()
    pattern.data = np.ones(len(pattern.data))
    return bool((pattern != pattern.T).nnz > 0)


def _row_sums(rows: _Rows, weighted: bool) -> NDArray[Any]:
    indptr, indices, weights = rows
    counts = np.diff(indptr)
    if not weighted:
        return counts
    if weights is None:
        return counts.astype(np.float64)
    return np.bincount(np.repeat(np.arange(len(counts)), counts), weights=weights, minlength=len(counts))


def _object_array(items: list[Any]) -> NDArray[Any]:
    array = np.empty(len(items), dtype=object)
    array[:] = items
    return array


def _dense_labels(
    ids: list[NDArray[Any]], dtype: np.dtype[Any]
) -> tuple[NDArray[Any], NDArray[np.int64] | None] | int | None:
    """For integer ids from 0 up without large gaps (``ids`` as _id_codes
    gives them, the labels of ``dtype``): the sorted distinct ids and the rank
    table (each id's index among them; None when every id from 0 to the
    largest is present, so that each id is its own index). For other ids the
    least of them as _id_codes gives them (found in the same pass), None for
    no ids.

    A table of the ids present ranks them without sorting or hashing (0.3 s
    for 20M ids where numpy.unique takes 4 s and pandas.factorize 1.3 s),
    filled natively and in parallel from each array where it is, with Ctrl-C
    seen throughout (numpy's passes held the interpreter for a second per
    40M ids; 80M int64 ids below 8M rank in 2.7 s with 2 threads, 5.1 with
    one, where numpy took 7.0, back to back under load 6 to 8): the ids are
    neither concatenated nor replaced by an array of indices, which the
    native build reads through the rank table instead (32 bytes per edge
    less)."""
    found = _native.dense_ids(ids[0], ids[1], ids[2] if len(ids) > 2 else None)
    if not isinstance(found, tuple):
        return None if found is None else int(found)
    labels, rank = np.asarray(found[0]), found[1]
    # int32 ids and uint32 ones below 2**31 share the bits; narrower ones were widened.
    labels = labels.view(dtype) if labels.dtype.itemsize == dtype.itemsize else _astype(labels, dtype)
    return labels, None if rank is None else np.asarray(rank)


# Ids per numpy call in the id steps below. numpy holds the interpreter
# through each call, where Ctrl-C is not seen: over 200M uint32 ids the max
# took 0.08 s and the widening copy to int64 0.4 to 4.8 s (into fresh
# memory). In calls of 2**20 ids, a few milliseconds each, a SIGINT during
# _id_codes and _dense_labels of those ids was answered within 0.001 to
# 0.034 s (14 tries at load 2.7); the calls add microseconds each.
_ID_CHUNK = 1 << 20


def _id_max(ids: NDArray[Any]) -> int:
    """ids.max() (0 for no ids), a chunk at a time."""
    return max((int(ids[i : i + _ID_CHUNK].max()) for i in range(0, len(ids), _ID_CHUNK)), default=0)


def _astype(values: NDArray[Any], dtype: Any) -> NDArray[Any]:
    """values.astype(dtype, copy=False) of a one-dimensional array, copied a
    chunk at a time."""
    if values.dtype == dtype:
        return values
    out = np.empty(len(values), dtype)
    for i in range(0, len(values), _ID_CHUNK):
        out[i : i + _ID_CHUNK] = values[i : i + _ID_CHUNK]
    return out


def _id_codes(ids: NDArray[Any]) -> NDArray[Any]:
    """Integer ids as the native functions read them: int32 or int64 in
    native byte order, any strides; a view where the dtype allows. uint64
    ids from 2**63 on read as negative: neither dense nor hashed natively."""
    # uint32 ids below 2**31 and uint64 ids below 2**63 read the same as signed.
    unsigned = ids.dtype.kind == "u" and ids.dtype.itemsize >= 4 and ids.dtype.isnative
    if unsigned and (ids.dtype.itemsize == 8 or _id_max(ids) < 2**31):
        return ids.view(np.int64 if ids.dtype.itemsize == 8 else np.int32)
    if ids.dtype in (np.dtype(np.int32), np.dtype(np.int64)):
        return ids
    return _astype(ids, np.int32 if ids.dtype.itemsize <= 2 else np.int64)


def _labels_and_codes(
    parts: list[NDArray[Any]], ids: list[NDArray[Any]] | None
) -> tuple[NDArray[Any], NDArray[Any], dict[Any, int] | None]:
    """The distinct labels of the parts joined (sorted when they can be, else
    in order of first appearance) and each value's index among them (int32
    or int64); plus the label -> index dict when the labels are not sorted.
    The parts share one dtype (from_edges makes mixed ones object arrays);
    ``ids`` are integer parts as _id_codes gives them, ordered as their
    labels are (None otherwise)."""
    kind = parts[0].dtype.kind
    if ids is not None:
        # Integers that _dense_labels does not take: hashed natively where
        # they are, where Ctrl-C is seen and nothing is concatenated or
        # widened (numpy's sorts and pandas.factorize hold the interpreter for
        # seconds over 24M random ids, the concatenation alone for 0.1 to
        # 0.4 s over 6M ids at load 10); int32 codes below 2**31 values.
        labels, codes = _native.label_codes(ids[0], ids[1], ids[2] if len(ids) > 2 else None)
        return _astype(np.asarray(labels), parts[0].dtype), np.asarray(codes), None
    values = np.concatenate(parts)
    if kind in "OU":
        by_arrow = _string_labels_and_codes(values)
        if by_arrow is not None:
            return by_arrow
    try:
        import pandas as pd  # type: ignore[import-untyped,unused-ignore]
    except ImportError:
        pd = None
    if kind not in "iuOUS" or (pd is None and kind != "O"):
        labels, codes = np.unique(values, return_inverse=True)
        return labels, codes.astype(np.int64, copy=False), None
    if pd is not None and (kind in "iu" or not pd.isna(values).any()):  # pandas would merge None and NaN labels
        # Hashing: far faster than sorting strings, Python objects or
        # scattered integers; only the distinct labels are sorted afterwards.
        codes, labels = pd.factorize(values if kind in "iu" else values.astype(object, copy=False))
        labels = np.asarray(labels, dtype=object if kind == "O" else values.dtype)
    else:
        lookup: dict[Any, int] = {}
        codes = np.fromiter((lookup.setdefault(x, len(lookup)) for x in values), dtype=np.int64, count=len(values))
        labels = _object_array(list(lookup))
    try:
        order = np.argsort(labels, kind="stable")
    except TypeError:  # not comparable with each other (mixed types)
        return labels, codes.astype(np.int64, copy=False), {x: i for i, x in enumerate(labels.tolist())}
    rank = np.empty(len(labels), dtype=np.int64)
    rank[order] = np.arange(len(labels))
    return labels[order], rank[codes], None


def _string_labels_and_codes(values: NDArray[Any]) -> tuple[NDArray[Any], NDArray[np.int64], None] | None:
    """_labels_and_codes of strings by pyarrow, when it is installed and
    every value is a str: it hashes and sorts the UTF-8 bytes natively (whose
    order is Python's order of str), where pandas hashes Python objects and
    numpy sorts them by Python comparisons. 4M ids of 1M distinct strings
    map in 1.3-1.6 s of CPU instead of 3.1 from object arrays, 1.5-1.9
    instead of 2.3 from numpy unicode (load 15 on 2 cores). None otherwise."""
    try:
        import pyarrow as pa  # type: ignore[import-untyped,unused-ignore]
        import pyarrow.compute as pc  # type: ignore[import-untyped,unused-ignore]
    except ImportError:
        return None
    try:
        # large_string: 64-bit offsets, one chunk; anything but a str is
        # refused. numpy unicode goes through str objects: pyarrow would cut
        # its strings at a NUL character.
        strings = values if values.dtype == object else values.astype(object)
        encoded = pa.array(strings, type=pa.large_string()).dictionary_encode()
    except (pa.ArrowException, TypeError, ValueError, OverflowError):
        return None
    if encoded.null_count:
        return None  # None among the labels: kept apart from every string by the dict path
    order = pc.array_sort_indices(encoded.dictionary).to_numpy()
    labels = encoded.dictionary.to_numpy(zero_copy_only=False)[order]
    rank = np.empty(len(order), dtype=np.int64)
    rank[order] = np.arange(len(order))
    codes: NDArray[np.int64] = rank[encoded.indices.to_numpy()]
    return (labels if values.dtype == object else labels.astype(values.dtype)), codes, None


def from_edges(
    u: ArrayLike,
    v: ArrayLike,
    weights: ArrayLike | None = None,
    *,
    directed: bool = False,
    duplicates: str = "sum",
    nodes: ArrayLike | None = None,
    weight_dtype: DTypeLike = np.float64,
) -> Graph:
    """A Graph with the edges ``u[k] -> v[k]`` (or ``u[k] - v[k]``).

    Parameters:
        u: Edge sources: a numpy array or sequence of any hashable labels
            (int64, uint64, strings, objects). The nodes are sorted by label
            when the labels are totally ordered, else kept in order of first
            appearance.
        v: Edge targets, of the same length as ``u``.
        weights: One number per edge, or None for an unweighted graph.
        directed: Whether ``u[k] -> v[k]`` has a direction.
        duplicates: How parallel edges merge: ``"sum"`` (default), ``"min"``,
            ``"last"`` or ``"error"``; in an undirected graph ``(a, b)`` and
            ``(b, a)`` are parallel.
        nodes: Further nodes (isolated ones included), or None.
        weight_dtype: float64 (8 bytes per entry) or float32 (4 bytes).

    Returns:
        The Graph.

    Raises:
        ValueError: lengths differ, a weight is NaN, ``duplicates`` is unknown,
            or it is ``"error"`` and an edge repeats.
        TypeError: ``weights`` is not numeric or ``weight_dtype`` is not a
            float type.

    Examples:
        >>> import arborvane
        >>> g = arborvane.from_edges([1, 1, 2], [2, 2, 3], weights=[1.0, 2.0, 4.0], duplicates="min")
        >>> g.edges()[2].tolist()
        [1.0, 4.0]
    """
    if duplicates not in _DUPLICATES:
        raise ValueError(f"from_edges(): duplicates must be one of {', '.join(_DUPLICATES)}, got {duplicates!r}")
    if np.dtype(weight_dtype) not in (np.dtype(np.float32), np.dtype(np.float64)):
        raise TypeError(f"from_edges(): weight_dtype must be float32 or float64, got {weight_dtype!r}")
    us, vs = _label_array(u, "u"), _label_array(v, "v")
    m = len(us)
    if len(vs) != m:
        raise ValueError(f"from_edges(): u and v must have the same length, got {m} and {len(vs)}")
    w = None
    if weights is not None:
        w = np.asarray(weights)
        if w.dtype.kind not in "iuf" or w.ndim != 1:
            raise TypeError(f"from_edges(): weights must be a one-dimensional numeric array, got {w.dtype} {w.shape}")
        if len(w) != m:
            raise ValueError(f"from_edges(): weights must have one value per edge ({m}), got {len(w)}")
        # Merged in float64 whatever is stored; float32 input is read as it is.
        w = np.ascontiguousarray(w, dtype=np.float32 if w.dtype == np.float32 else np.float64)
        if np.isnan(w).any():
            raise ValueError("from_edges(): weights must not be NaN")
    parts = [us, vs] if nodes is None else [us, vs, _label_array(nodes, "nodes")]
    if len({p.dtype for p in parts}) > 1:
        parts = [p.astype(object) for p in parts]
    ids = [_id_codes(p) for p in parts] if parts[0].dtype.kind in "iu" else None
    dense = None if ids is None else _dense_labels(ids, parts[0].dtype)
    if isinstance(dense, tuple):
        # The ids are read where they are, mapped through the rank table
        # (if any) as the build reads them.
        assert ids is not None  # dense ids come from ids
        (labels, rank), lookup = dense, None
        cu, cv = ids[0], ids[1]
    else:
        # The least id is negative for uint64 ids from 2**63 on, which would
        # hash in the wrong order.
        if parts[0].dtype.kind == "u" and dense is not None and dense < 0:
            ids = None
        labels, codes, lookup = _labels_and_codes(parts, ids)
        cu, cv, rank = codes[:m], codes[m : 2 * m], None
    # Natively: a counting sort by row, each row sorted by neighbour and its
    # parallel edges merged, then the in-rows (or the mirror entries of an
    # undirected graph); the arrays are the native results themselves.
    built, in_built, edge_count, duplicate = _native.csr_build(
        cu, cv, w, len(labels), directed, duplicates, np.dtype(weight_dtype) == np.float32, rank
    )
    if duplicate is not None:
        x, y = labels[list(duplicate)].tolist()
        raise ValueError(f"from_edges(): duplicate edge ({x!r}, {y!r}) with duplicates='error'")
    rows = _as_rows(built)
    in_rows = rows if in_built is None else _as_rows(in_built)
    return Graph._make(labels, directed, rows, in_rows, edge_count, lookup, None if directed else built[:2])


def _as_rows(native: tuple[Any, Any, Any]) -> _Rows:
    indptr, indices, weights = native
    return np.asarray(indptr), np.asarray(indices), None if weights is None else np.asarray(weights)


def _label_array(values: ArrayLike, name: str) -> NDArray[Any]:
    array = np.asarray(values)
    if array.ndim != 1:
        if array.ndim == 0 or array.dtype != object:
            raise ValueError(f"from_edges(): {name} must be one-dimensional, got shape {array.shape}")
    if array.size == 0 and array.dtype.kind == "f":
        array = array.astype(np.int64)  # an empty list is float64 to numpy
    return array


def from_pandas_edgelist(
    df: Any,
    source: str = "source",
    target: str = "target",
    weight: str | None = None,
    *,
    directed: bool = False,
    duplicates: str = "sum",
) -> Graph:
    """A Graph from the edge columns of a pandas DataFrame (NetworkX's
    ``from_pandas_edgelist`` for arborvane.Graph).

    Parameters:
        df: The DataFrame.
        source: The column of the edges' sources (any labels).
        target: The column of the edges' targets.
        weight: The weight column, or None for an unweighted graph.
        directed: As for ``from_edges``.
        duplicates: As for ``from_edges``.

    Returns:
        A new Graph whose labels are the values of the two columns.

    Raises:
        KeyError: a column is missing.

    Examples:
        >>> import pandas as pd, arborvane
        >>> df = pd.DataFrame({"source": ["a", "b"], "target": ["b", "c"], "w": [1.0, 2.0]})
        >>> arborvane.from_pandas_edgelist(df, weight="w", directed=True)
        <arborvane.Graph directed, 3 nodes, 2 edges, weighted>
    """
    w = None if weight is None else df[weight].to_numpy()
    return from_edges(
        df[source].to_numpy(), df[target].to_numpy(), weights=w, directed=directed, duplicates=duplicates
    )
