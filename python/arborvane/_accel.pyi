"""Type stubs for the native module ``arborvane._accel``."""

from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex, final

from typing_extensions import Buffer, Self, TypeAlias

__all__ = ["IntGraphCore"]

# Node ids are signed 64-bit integers: ints, bools and anything with __index__.
_NodeId: TypeAlias = SupportsIndex
# A whole list of ids: any sequence of them, or a contiguous integer buffer
# (bytes, array.array('q'), a numpy integer array).
_IdList: TypeAlias = Sequence[SupportsIndex] | Buffer
_PairList: TypeAlias = Sequence[tuple[SupportsIndex, SupportsIndex]]
_Float: TypeAlias = SupportsFloat | SupportsIndex

@final
class IntGraphCore:
    """An undirected graph on signed 64-bit integer node ids, held in native memory.

    Self-loops are allowed; parallel edges are not (adding an edge again
    changes nothing). The graph only grows: there is no removal. Every
    parameter may be passed by position or by keyword. Lists come back in a
    deterministic order that depends only on the sequence of insertions (not
    sorted, not insertion order).

    A graph admits any number of concurrent readers or one writer; a call
    that would overlap a conflicting one raises RuntimeError at once
    ("Already borrowed" / "Already mutably borrowed") instead of waiting.
    Long calls release the interpreter lock where they can and answer
    Ctrl-C within about a tenth of a second with KeyboardInterrupt.

    In the signatures, ``_NodeId`` is one integer id (an int, or anything
    with ``__index__``, such as a numpy integer); ``_IdList`` is a sequence
    of them or a contiguous integer buffer (a numpy integer array,
    ``array('q')``, bytes); ``_PairList`` is a sequence of ``(u, v)`` tuples.

    Examples:
        >>> import arborvane
        >>> g = arborvane.IntGraphCore()
        >>> g.add_edges_flat([1, 2, 2, 3, 3, 1, 3, 4])
        >>> g
        IntGraphCore(nodes=4, edges=4)
        >>> len(g), 3 in g, 7 in g
        (4, True, False)
    """

    def __new__(cls) -> Self:
        """An empty graph."""
    def __len__(self) -> int:
        """The number of nodes, as ``number_of_nodes()``."""
    def __contains__(self, n: _NodeId, /) -> bool:
        """Whether ``n`` is a node, as ``has_node(n)``; False for anything that is not an integer id."""
    def add_node(self, n: _NodeId) -> None:
        """Add the node ``n`` (nothing happens if it is already there).

        Parameters:
            n: The node id, a signed 64-bit integer (anything with ``__index__``).

        Raises:
            TypeError: ``n`` is not an integer.
            OverflowError: ``n`` does not fit in a signed 64-bit integer.

        Complexity:
            O(1) expected; at most 128 probes plus O(log n) for ids that collide.

        Examples:
            >>> import arborvane
            >>> g = arborvane.IntGraphCore()
            >>> g.add_node(7)
            >>> g.nodes()
            [7]
        """
    def add_edge(self, u: _NodeId, v: _NodeId) -> None:
        """Add the undirected edge ``u``–``v``, adding missing end nodes.

        ``u == v`` adds a self-loop. An edge that is already there is not added again.

        Parameters:
            u: One end, a signed 64-bit integer id.
            v: The other end.

        Raises:
            TypeError: An end is not an integer.
            OverflowError: An end does not fit in a signed 64-bit integer.

        Complexity:
            O(1) expected.

        Examples:
            >>> import arborvane
            >>> g = arborvane.IntGraphCore()
            >>> g.add_edge(1, 2)
            >>> g.add_edge(2, 1)  # the same edge
            >>> g.number_of_edges()
            1
        """
    def add_edges_from(self, edges: _PairList) -> None:
        """Add every ``(u, v)`` pair of ``edges``, in order.

        Parameters:
            edges: A sequence of 2-tuples of integer ids.

        Raises:
            TypeError: ``edges`` is not a sequence, or an item is not a tuple of integers.
            ValueError: A tuple does not hold exactly two ids.
            OverflowError: An id does not fit in a signed 64-bit integer.

        The arguments are checked before anything is added: on an error the
        graph is unchanged.

        Complexity:
            O(m) for m pairs; converting the Python tuples dominates. Prefer
            ``add_edges_flat`` with a numpy array for millions of edges.

        Examples:
            >>> import arborvane
            >>> g = arborvane.IntGraphCore()
            >>> g.add_edges_from([(1, 2), (2, 3)])
            >>> g.edges()
            [(2, 3), (1, 2)]
        """
    def add_edges_flat(self, flat: _IdList) -> None:
        """Add the edges ``(flat[0], flat[1]), (flat[2], flat[3]), ...``, in order.

        The fastest way to load edges: ``flat`` may be a list of ints, a
        numpy integer array, an ``array('q')`` or any contiguous integer
        buffer, read without a Python object per id. An odd last id is ignored.

        Parameters:
            flat: Node ids, two per edge.

        Raises:
            TypeError: ``flat`` is not a sequence or buffer of integers.
            OverflowError: An id does not fit in a signed 64-bit integer.

        Complexity:
            O(m) for m edges; a large load ends by compacting the neighbour
            sets to 8 bytes per entry.

        Examples:
            >>> import arborvane, numpy as np
            >>> g = arborvane.IntGraphCore()
            >>> g.add_edges_flat(np.array([1, 2, 2, 3], dtype=np.int64))
            >>> g.number_of_edges()
            2
        """
    def add_nodes_from(self, nodes: _IdList) -> None:
        """Add every id of ``nodes`` as a node (isolated if it has no edges yet).

        Parameters:
            nodes: A sequence of integer ids, or a contiguous integer buffer.

        Raises:
            TypeError: ``nodes`` is not a sequence, or an item is not an integer.
            OverflowError: An id does not fit in a signed 64-bit integer.

        Complexity:
            O(k) for k ids.

        Examples:
            >>> import arborvane
            >>> g = arborvane.IntGraphCore()
            >>> g.add_nodes_from(range(3))
            >>> len(g), g.number_of_edges()
            (3, 0)
        """
    def has_edge(self, u: _NodeId, v: _NodeId) -> bool:
        """Whether the edge ``u``–``v`` is in the graph (either orientation).

        Parameters:
            u: One end.
            v: The other end.

        Returns:
            True if the edge is there; False otherwise, also for unknown nodes.

        Raises:
            TypeError: An end is not an integer.
            OverflowError: An end does not fit in a signed 64-bit integer.

        Complexity:
            O(1) expected.

        Examples:
            >>> import arborvane
            >>> g = arborvane.IntGraphCore()
            >>> g.add_edge(1, 2)
            >>> g.has_edge(2, 1), g.has_edge(1, 3)
            (True, False)
        """
    def build_random(self, n: _NodeId, m: SupportsIndex, seed: SupportsIndex = 42) -> None:
        """Native bulk random graph generation (Erős-Rényi G_{n,m} style)
        Bypasses Python list allocations for massive benchmarks.

        Adds ``m`` new random edges among the ids ``0 .. n-1``: a seeded
        G(n, m)-style generator for benchmarks and tests. No Python object is
        made per edge, no self-loops are drawn, and pairs already joined are
        drawn again, so exactly ``m`` edges are added. The same ``n``, ``m``
        and ``seed`` on an empty graph always build the same graph.

        Parameters:
            n: The ids are drawn from ``0 .. n-1``.
            m: The number of new edges.
            seed: The generator's seed.

        Raises:
            ValueError: ``m`` is more than the generator can reach (more than
                the free pairs below ``n``); nothing is added then.
            TypeError: An argument is not an integer.
            OverflowError: An argument is out of range.

        Complexity:
            O(m) expected, with no Python objects.

        Examples:
            >>> import arborvane
            >>> g = arborvane.IntGraphCore()
            >>> g.build_random(1000, 5000, seed=1)
            >>> g.number_of_edges()
            5000
        """
    def has_node(self, n: _NodeId) -> bool:
        """Whether ``n`` is a node of the graph.

        Parameters:
            n: The node id.

        Returns:
            True if ``n`` is a node.

        Raises:
            TypeError: ``n`` is not an integer.
            OverflowError: ``n`` does not fit in a signed 64-bit integer.

        Complexity:
            O(1) expected.

        Examples:
            >>> import arborvane
            >>> g = arborvane.IntGraphCore()
            >>> g.add_node(5)
            >>> g.has_node(5), g.has_node(6)
            (True, False)
        """
    def number_of_nodes(self) -> int:
        """The number of nodes.

        Returns:
            The node count, as ``len(g)``.

        Complexity:
            O(1).

        Examples:
            >>> import arborvane
            >>> g = arborvane.IntGraphCore()
            >>> g.add_edges_flat([1, 2, 2, 3])
            >>> g.number_of_nodes()
            3
        """
    def number_of_edges(self) -> int:
        """The number of edges; a self-loop counts once.

        Returns:
            The edge count.

        Complexity:
            O(1).

        Examples:
            >>> import arborvane
            >>> g = arborvane.IntGraphCore()
            >>> g.add_edges_flat([1, 2, 2, 2])
            >>> g.number_of_edges()
            2
        """
    def neighbors(self, n: _NodeId) -> list[int]:
        """The neighbours of ``n`` (``n`` itself once if it has a self-loop).

        Parameters:
            n: The node id.

        Returns:
            A list of ids, ``[]`` for an unknown node.

        Raises:
            TypeError: ``n`` is not an integer.
            OverflowError: ``n`` does not fit in a signed 64-bit integer.

        Complexity:
            O(degree).

        Examples:
            >>> import arborvane
            >>> g = arborvane.IntGraphCore()
            >>> g.add_edges_flat([1, 2, 1, 3])
            >>> sorted(g.neighbors(1)), g.neighbors(99)
            ([2, 3], [])
        """
    def degree(self, n: _NodeId) -> int:
        """The number of distinct neighbours of ``n``; a self-loop adds 1 (NetworkX adds 2).

        Parameters:
            n: The node id.

        Returns:
            The degree, 0 for an unknown node.

        Raises:
            TypeError: ``n`` is not an integer.
            OverflowError: ``n`` does not fit in a signed 64-bit integer.

        Complexity:
            O(1).

        Examples:
            >>> import arborvane
            >>> g = arborvane.IntGraphCore()
            >>> g.add_edges_flat([1, 2, 1, 3, 1, 1])
            >>> g.degree(1), g.degree(99)
            (3, 0)
        """
    def nodes(self) -> list[int]:
        """Every node id, in the graph's deterministic order.

        Returns:
            A list of ids; ``arborvane.node_array`` gives the same ids as a
            numpy array without a Python object per node.

        Complexity:
            O(n).

        Examples:
            >>> import arborvane
            >>> g = arborvane.IntGraphCore()
            >>> g.add_edges_flat([1, 2, 2, 3])
            >>> sorted(g.nodes())
            [1, 2, 3]
        """
    def edges(self) -> list[tuple[int, int]]:
        """Every edge once, as ``(u, v)`` tuples with the smaller id first.

        Returns:
            A list of pairs. For large graphs prefer ``arborvane.edge_array``
            (an (m, 2) int64 array): ten million tuples take over a gigabyte.

        Complexity:
            O(n + m).

        Examples:
            >>> import arborvane
            >>> g = arborvane.IntGraphCore()
            >>> g.add_edges_flat([2, 1, 2, 3])
            >>> sorted(g.edges())
            [(1, 2), (2, 3)]
        """
    def edges_flat(self) -> list[int]:
        """``edges()`` flattened: ``[u0, v0, u1, v1, ...]``.

        Returns:
            A list of ids, two per edge, in ``edges()`` order; it can be
            passed to ``add_edges_flat`` to copy the graph's edges.

        Complexity:
            O(n + m).

        Examples:
            >>> import arborvane
            >>> g = arborvane.IntGraphCore()
            >>> g.add_edge(2, 1)
            >>> g.edges_flat()
            [1, 2]
        """
    def degree_sequence(self) -> list[tuple[int, int]]:
        """The degree of every node, as ``(node, degree)`` tuples in ``nodes()`` order.

        Returns:
            A list of pairs; ``arborvane.degree_array`` gives the degrees as
            a numpy array aligned with ``arborvane.node_array``.

        Complexity:
            O(n).

        Examples:
            >>> import arborvane
            >>> g = arborvane.IntGraphCore()
            >>> g.add_edges_flat([1, 2, 1, 3])
            >>> sorted(g.degree_sequence())
            [(1, 2), (2, 1), (3, 1)]
        """
    def has_edges(self, edges: _PairList) -> list[bool]:
        """``has_edge`` for many pairs in one call, answered in parallel.

        Parameters:
            edges: A sequence of ``(u, v)`` tuples.

        Returns:
            One bool per pair, in order.

        Raises:
            TypeError: ``edges`` is not a sequence of tuples of integers.
            ValueError: A tuple does not hold exactly two ids.
            OverflowError: An id does not fit in a signed 64-bit integer.

        Complexity:
            O(k) for k pairs, spread over the worker threads.

        Examples:
            >>> import arborvane
            >>> g = arborvane.IntGraphCore()
            >>> g.add_edges_flat([1, 2, 2, 3])
            >>> g.has_edges([(2, 1), (1, 3)])
            [True, False]
        """
    def triangle_count(self) -> int:
        """Triangle counting using CSR sorted merge-intersection.
        The sorted adjacency in CSR enables SIMD-friendly sequential scans.

        Returns the number of triangles in the graph (self-loops ignored),
        counted on the cached CSR snapshot by merging sorted neighbour lists
        along degree-ordered edges, in parallel. Builds and caches the
        snapshot if a mutation has discarded it, so it holds the graph
        exclusively while it runs.

        Returns:
            The triangle count.

        Raises:
            RuntimeError: Another call on the same graph is in progress.
            KeyboardInterrupt: Ctrl-C was pressed during the count.

        Complexity:
            O(m · sqrt(m)) at worst; in parallel.

        Examples:
            >>> import arborvane
            >>> g = arborvane.IntGraphCore()
            >>> g.add_edges_flat([1, 2, 2, 3, 3, 1, 3, 4])
            >>> g.triangle_count()
            1
        """
    def connected_component_sizes(self) -> list[int]:
        """Connected components via parallel BFS.

        The size of every connected component.

        Returns:
            One size per component, in a deterministic order (that of
            ``arborvane.component_labels``' numbering); an isolated node is a
            component of size 1.

        Raises:
            KeyboardInterrupt: Ctrl-C was pressed during the search.

        Complexity:
            O(n + m).

        Examples:
            >>> import arborvane
            >>> g = arborvane.IntGraphCore()
            >>> g.add_edges_flat([1, 2, 2, 3, 7, 8])
            >>> sorted(g.connected_component_sizes())
            [2, 3]
        """
    def shortest_path_length(self, source: _NodeId, target: _NodeId) -> int:
        """The number of edges on a shortest path from ``source`` to ``target``.

        A breadth-first search; it searches the cached CSR snapshot when an
        analytic left one and no mutation has discarded it.

        Parameters:
            source: The start node.
            target: The end node.

        Returns:
            The hop count; 0 when ``source == target``; -1 when there is no
            path or either node is unknown (NetworkX raises instead).

        Raises:
            TypeError: An id is not an integer.
            OverflowError: An id does not fit in a signed 64-bit integer.

        Complexity:
            O(n + m) at worst; the search stops as soon as it reaches ``target``.

        Examples:
            >>> import arborvane
            >>> g = arborvane.IntGraphCore()
            >>> g.add_edges_flat([1, 2, 2, 3, 3, 4])
            >>> g.shortest_path_length(1, 4), g.shortest_path_length(1, 99)
            (3, -1)
        """
    def subgraph_edge_count(self, nodes: _IdList) -> int:
        """The number of edges with both ends in ``nodes``.

        Parameters:
            nodes: A sequence of ids, or a contiguous integer buffer;
                duplicates and unknown ids are allowed.

        Returns:
            The edge count of the induced subgraph (a self-loop counts once).

        Raises:
            TypeError: ``nodes`` is not a sequence of integers.
            OverflowError: An id does not fit in a signed 64-bit integer.

        Complexity:
            O(sum of the degrees of ``nodes``).

        Examples:
            >>> import arborvane
            >>> g = arborvane.IntGraphCore()
            >>> g.add_edges_flat([1, 2, 2, 3, 3, 1, 3, 4])
            >>> g.subgraph_edge_count([1, 2, 3])
            3
        """
    def pagerank(self, damping: _Float = 0.85, max_iter: SupportsIndex = 100, tol: _Float = 1e-06) -> list[tuple[int, float]]:
        """SIMD-friendly PageRank using contiguous f64 arrays + rayon parallel scatter.

        The PageRank score of every node, by power iteration.

        Each iteration gives every node ``(1 - damping) / n`` plus ``damping``
        times the shares of its neighbours; iteration stops when the L1 change
        falls below ``tol`` (NetworkX compares against ``n * tol``) or after
        ``max_iter`` iterations. A node without neighbours keeps only the
        teleport term, so on a graph with isolated nodes the scores sum to
        less than 1. Results are the same bits for any thread count. Builds and
        caches the CSR snapshot, so it holds the graph exclusively while it runs.

        Parameters:
            damping: The damping factor (probability of following an edge).
            max_iter: The most iterations to run.
            tol: The L1 change at which to stop.

        Returns:
            ``(node, score)`` tuples in ``nodes()`` order;
            ``arborvane.pagerank_array`` gives the same bits as numpy arrays.

        Raises:
            TypeError: ``damping`` or ``tol`` is not a number, or ``max_iter`` not an integer.
            OverflowError: ``max_iter`` is negative or too large.
            RuntimeError: Another call on the same graph is in progress.
            KeyboardInterrupt: Ctrl-C was pressed during the iteration.

        Complexity:
            O(max_iter · (n + m)), in parallel.

        Examples:
            >>> import arborvane
            >>> g = arborvane.IntGraphCore()
            >>> g.add_edges_flat([1, 2, 2, 3, 3, 1, 3, 4])
            >>> [(node, round(score, 3)) for node, score in g.pagerank()]
            [(3, 0.367), (2, 0.246), (1, 0.246), (4, 0.141)]
        """
