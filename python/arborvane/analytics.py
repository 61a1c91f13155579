"""Graph analytics beyond the core class: component labels, BFS distances,
core numbers, clustering and betweenness.

Every per-node result is ``(ids, values)``: two numpy arrays, ``ids`` equal to
``node_array(g)`` (the ``g.nodes()`` order). Definitions follow NetworkX's,
self-loops ignored where NetworkX ignores or refuses them. All of these run
natively on the graph's snapshot (built and cached on first use, like
``g.pagerank()``), in parallel where the work allows, and give the same bits
for any number of worker threads.
"""

from __future__ import annotations

import operator
import random
from typing import TYPE_CHECKING

import numpy as np

from arborvane._accel import IntGraphCore
from arborvane._native import arrays as _native

if TYPE_CHECKING:
    from typing import SupportsIndex

    from numpy.typing import NDArray

__all__ = [
    "component_labels",
    "bfs_distances",
    "core_number",
    "clustering",
    "average_clustering",
    "transitivity",
    "betweenness_centrality",
    "degree_centrality",
]

_SEED_MASK = (1 << 64) - 1


def component_labels(g: IntGraphCore) -> tuple[NDArray[np.int64], NDArray[np.int64]]:
    """``(ids, labels)``: the connected component of every node.

    Components are numbered 0 to k-1 in the order of
    ``g.connected_component_sizes()``, so ``numpy.bincount(labels)`` equals
    that list.

    Parameters:
        g: The graph.

    Returns:
        ``ids`` (int64, equal to ``node_array(g)``) and ``labels`` (int64).

    Raises:
        TypeError: ``g`` is not an IntGraphCore.
        RuntimeError: Another thread is changing ``g`` (the message names the
            call); reads of ``g`` run together.
        KeyboardInterrupt: Ctrl-C was pressed during the computation.

    Complexity:
        O(n + m).

    Examples:
        >>> import arborvane
        >>> g = arborvane.IntGraphCore()
        >>> g.add_edges_flat([1, 2, 2, 3, 7, 8])
        >>> ids, labels = arborvane.component_labels(g)
        >>> sorted(zip(ids.tolist(), labels.tolist()))
        [(1, 1), (2, 1), (3, 1), (7, 0), (8, 0)]
    """
    ids, labels = _native.component_labels(g)
    return np.asarray(ids), np.asarray(labels)


def bfs_distances(g: IntGraphCore, source: SupportsIndex) -> tuple[NDArray[np.int64], NDArray[np.int64]]:
    """``(ids, distances)``: the number of hops from ``source`` to every node.

    A breadth-first search that switches between pushing from the frontier and
    pulling into it (direction optimisation).

    Parameters:
        g: The graph.
        source: The node to measure from.

    Returns:
        ``ids`` (int64, equal to ``node_array(g)``) and ``distances`` (int64),
        -1 where a node cannot be reached.

    Raises:
        KeyError: ``source`` is not a node of ``g`` (the key is ``source``).
        OverflowError: ``source`` is outside the signed 64-bit range (naming it).
        TypeError: ``g`` is not an IntGraphCore.
        RuntimeError: Another thread is changing ``g`` (the message names the
            call); reads of ``g`` run together.
        KeyboardInterrupt: Ctrl-C was pressed during the computation.

    Complexity:
        O(n + m).

    Examples:
        >>> import arborvane
        >>> g = arborvane.IntGraphCore()
        >>> g.add_edges_flat([1, 2, 2, 3, 7, 8])
        >>> ids, hops = arborvane.bfs_distances(g, 1)
        >>> sorted(zip(ids.tolist(), hops.tolist()))
        [(1, 0), (2, 1), (3, 2), (7, -1), (8, -1)]
    """
    try:
        ids, distances = _native.bfs_distances(g, source)
    except OverflowError:
        raise OverflowError(f"bfs_distances(): source {source} is outside the signed 64-bit range of node ids") from None
    return np.asarray(ids), np.asarray(distances)


def core_number(g: IntGraphCore) -> tuple[NDArray[np.int64], NDArray[np.int64]]:
    """``(ids, cores)``: the core number of every node.

    The core number of a node is the largest k for which it belongs to a
    k-core (a maximal subgraph whose nodes all have at least k neighbours in
    it). Self-loops are ignored (NetworkX refuses them: its value is that of
    the graph without them). The degeneracy of the graph is ``cores.max()``.
    All nodes of a level are peeled in parallel.

    Parameters:
        g: The graph.

    Returns:
        ``ids`` (int64, equal to ``node_array(g)``) and ``cores`` (int64).

    Raises:
        TypeError: ``g`` is not an IntGraphCore.
        RuntimeError: Another thread is changing ``g`` (the message names the
            call); reads of ``g`` run together.
        KeyboardInterrupt: Ctrl-C was pressed during the computation.

    Complexity:
        O(n + m).

    Examples:
        >>> import arborvane
        >>> g = arborvane.IntGraphCore()
        >>> g.add_edges_flat([1, 2, 2, 3, 3, 1, 3, 4])
        >>> ids, cores = arborvane.core_number(g)
        >>> dict(zip(ids.tolist(), cores.tolist()))
        {3: 2, 2: 2, 1: 2, 4: 1}
    """
    ids, cores = _native.core_numbers(g)
    return np.asarray(ids), np.asarray(cores)


def clustering(g: IntGraphCore) -> tuple[NDArray[np.int64], NDArray[np.float64]]:
    """``(ids, coefficients)``: the local clustering coefficient of every node.

    The coefficient of v is ``2 T(v) / (d(v) (d(v) - 1))``, with ``T(v)`` the
    triangles through v and ``d(v)`` its degree without a self-loop; 0.0 where
    ``d(v) < 2``. Exact integer counts are divided with one rounding, so the
    values equal NetworkX's ``clustering(G)`` to the last bit.

    Parameters:
        g: The graph.

    Returns:
        ``ids`` (int64, equal to ``node_array(g)``) and ``coefficients`` (float64).

    Raises:
        TypeError: ``g`` is not an IntGraphCore.
        RuntimeError: Another thread is changing ``g`` (the message names the
            call); reads of ``g`` run together.
        KeyboardInterrupt: Ctrl-C was pressed during the computation.

    Complexity:
        O(m · sqrt(m)) at worst (each triangle is found once, on degree-ordered
        edges, and credited to its three corners); in parallel.

    Examples:
        >>> import arborvane
        >>> g = arborvane.IntGraphCore()
        >>> g.add_edges_flat([1, 2, 2, 3, 3, 1, 3, 4])
        >>> ids, values = arborvane.clustering(g)
        >>> dict(zip(ids.tolist(), values.round(3).tolist()))
        {3: 0.333, 2: 1.0, 1: 1.0, 4: 0.0}
    """
    ids, values = _native.clustering_values(g)
    return np.asarray(ids), np.asarray(values)


def average_clustering(g: IntGraphCore) -> float:
    """The mean of ``clustering(g)`` over all nodes, zeros included.

    As NetworkX's ``average_clustering(G)``; 0.0 for a graph without nodes
    (where NetworkX divides by zero). Summed in node order with Neumaier's
    compensation, as Python's ``sum()`` does from 3.12 on (on 3.11, NetworkX's
    plain sum may differ in the last digits).

    Parameters:
        g: The graph.

    Returns:
        The average clustering coefficient.

    Raises:
        TypeError: ``g`` is not an IntGraphCore.
        RuntimeError: Another thread is changing ``g`` (the message names the
            call); reads of ``g`` run together.
        KeyboardInterrupt: Ctrl-C was pressed during the computation.

    Complexity:
        As ``clustering``.

    Examples:
        >>> import arborvane
        >>> g = arborvane.IntGraphCore()
        >>> g.add_edges_flat([1, 2, 2, 3, 3, 1, 3, 4])
        >>> round(arborvane.average_clustering(g), 4)
        0.5833
    """
    value: float = _native.average_clustering(g)
    return value


def transitivity(g: IntGraphCore) -> float:
    """Three times the number of triangles divided by the number of connected triples.

    A connected triple is a path of two edges; self-loops are ignored. 0.0
    without triangles. As NetworkX's ``transitivity(G)``, to the last bit.

    Parameters:
        g: The graph.

    Returns:
        The transitivity (global clustering coefficient).

    Raises:
        TypeError: ``g`` is not an IntGraphCore.
        RuntimeError: Another thread is changing ``g`` (the message names the
            call); reads of ``g`` run together.
        KeyboardInterrupt: Ctrl-C was pressed during the computation.

    Complexity:
        As ``clustering``.

    Examples:
        >>> import arborvane
        >>> g = arborvane.IntGraphCore()
        >>> g.add_edges_flat([1, 2, 2, 3, 3, 1, 3, 4])
        >>> arborvane.transitivity(g)
        0.6
    """
    value: float = _native.transitivity(g)
    return value


def betweenness_centrality(
    g: IntGraphCore, k: SupportsIndex | None = None, seed: SupportsIndex | None = None, normalized: bool = True
) -> tuple[NDArray[np.int64], NDArray[np.float64]]:
    """``(ids, scores)``: the shortest-path betweenness of every node.

    Brandes' algorithm, endpoints excluded, scaled as NetworkX's
    ``betweenness_centrality(G, k, normalized=normalized)`` scales it.

    With ``k=None`` every node is a source. Otherwise ``k`` sources are drawn
    with ``seed``: the same seed on the same graph always draws the same
    sources (they differ from those NetworkX draws). They are the first k
    positions of a partial Fisher-Yates shuffle of the node positions 0..n-1,
    each position j taking a position drawn uniformly from [j, n) by Lemire's
    method from splitmix64 seeded with ``seed`` modulo 2**64. As in NetworkX
    3.5+, a sampled source's score is scaled as one of k - 1 sources (NaN when
    k is 1) and every other node's as one of k; ``k`` equal to the number of
    nodes gives exactly the ``k=None`` result.

    The sources run in parallel; their contributions are added in ascending
    node position, so the result does not depend on the thread count. Path
    counts are kept scaled by powers of two, so graphs with more shortest
    paths than a double can count still get finite scores.

    Parameters:
        g: The graph.
        k: The number of sampled sources (1 to the number of nodes), or None
            for every node.
        seed: The sampling seed; None draws one from Python's ``random`` module.
        normalized: Scale as NetworkX's ``normalized=True`` does (divide by the
            number of pairs of other nodes); False gives raw pair counts, halved.

    Returns:
        ``ids`` (int64, equal to ``node_array(g)``) and ``scores`` (float64).

    Raises:
        ValueError: ``k`` is below 1 or above the number of nodes (any int).
        TypeError: ``g`` is not an IntGraphCore, or ``k`` or ``seed`` is not
            an integer (naming it).
        RuntimeError: Another thread is changing ``g`` (the message names the
            call); reads of ``g`` run together.
        KeyboardInterrupt: Ctrl-C was pressed during the computation.

    Complexity:
        O(k · (n + m)) with k sources (O(n · m) for every source); in parallel.

    Examples:
        >>> import arborvane
        >>> g = arborvane.IntGraphCore()
        >>> g.add_edges_flat([1, 2, 2, 3, 3, 1, 3, 4])
        >>> ids, scores = arborvane.betweenness_centrality(g)
        >>> dict(zip(ids.tolist(), scores.round(3).tolist()))
        {3: 0.667, 2: 0.0, 1: 0.0, 4: 0.0}
    """
    if seed is None:
        seed = random.getrandbits(64)
    try:
        seed = operator.index(seed) & _SEED_MASK
    except TypeError as exc:
        raise TypeError(f"argument 'seed': {exc}") from None
    try:
        ids, scores = _native.betweenness_scores(g, k, seed, normalized)
    except OverflowError:  # k beyond 64 bits: out of range like any other
        raise ValueError(f"k must be between 1 and the number of nodes ({len(g)}), got {k}") from None
    return np.asarray(ids), np.asarray(scores)


def degree_centrality(g: IntGraphCore) -> tuple[NDArray[np.int64], NDArray[np.float64]]:
    """``(ids, values)``: the degree centrality of every node.

    The degree of v divided by ``n - 1`` in a graph of n nodes, as NetworkX's
    ``degree_centrality(G)`` computes it, to the last bit: a self-loop counts
    twice in the degree (so a value can exceed 1), and every value is 1.0 in
    a graph of one node.

    Parameters:
        g: The graph.

    Returns:
        ``ids`` (int64, equal to ``node_array(g)``) and ``values`` (float64);
        both empty for a graph without nodes.

    Raises:
        TypeError: ``g`` is not an IntGraphCore.
        RuntimeError: ``g`` is being changed in another thread (the message
            names the call); other reads of ``g`` may run at the same time.
        KeyboardInterrupt: Ctrl-C was pressed during the computation.

    Complexity:
        O(n log d) (a binary search per node finds its self-loop); in parallel.

    Examples:
        >>> import arborvane
        >>> g = arborvane.IntGraphCore()
        >>> g.add_edges_flat([1, 2, 2, 3, 3, 3])
        >>> ids, values = arborvane.degree_centrality(g)
        >>> dict(zip(ids.tolist(), values.tolist()))
        {3: 1.5, 2: 1.0, 1: 0.5}
    """
    ids, values = _native.degree_centrality(g)
    return np.asarray(ids), np.asarray(values)
