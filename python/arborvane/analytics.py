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
]

_SEED_MASK = (1 << 64) - 1


def component_labels(g: IntGraphCore) -> tuple[NDArray[np.int64], NDArray[np.int64]]:
    """``(ids, labels)``: the connected component of every node, numbered
    0 to k-1 in the order of ``g.connected_component_sizes()``, so that
    ``numpy.bincount(labels)`` equals that list."""
    ids, labels = _native.component_labels(g)
    return np.asarray(ids), np.asarray(labels)


def bfs_distances(g: IntGraphCore, source: SupportsIndex) -> tuple[NDArray[np.int64], NDArray[np.int64]]:
    """``(ids, distances)``: the number of hops from ``source`` to every node,
    -1 where it cannot be reached. A ``source`` that is not a node raises
    ``KeyError(source)``; one outside the signed 64-bit range, OverflowError
    naming it.

    Example: ``ids, hops = arborvane.bfs_distances(g, 0)``
    """
    try:
        ids, distances = _native.bfs_distances(g, source)
    except OverflowError:
        raise OverflowError(f"bfs_distances(): source {source} is outside the signed 64-bit range of node ids") from None
    return np.asarray(ids), np.asarray(distances)


def core_number(g: IntGraphCore) -> tuple[NDArray[np.int64], NDArray[np.int64]]:
    """``(ids, cores)``: the core number of every node, the largest k for
    which it belongs to a k-core (a maximal subgraph whose nodes all have at
    least k neighbours in it). Self-loops are ignored (NetworkX refuses
    them: its value is that of the graph without them). The degeneracy of
    the graph is ``cores.max()``."""
    ids, cores = _native.core_numbers(g)
    return np.asarray(ids), np.asarray(cores)


def clustering(g: IntGraphCore) -> tuple[NDArray[np.int64], NDArray[np.float64]]:
    """``(ids, coefficients)``: the local clustering coefficient of every
    node, ``2 T(v) / (d(v) (d(v) - 1))`` with ``T(v)`` the triangles through v
    and ``d(v)`` its degree without a self-loop; 0.0 where ``d(v) < 2``.
    As NetworkX's ``clustering(G)``, to the last bit."""
    ids, values = _native.clustering_values(g)
    return np.asarray(ids), np.asarray(values)


def average_clustering(g: IntGraphCore) -> float:
    """The mean of ``clustering(g)`` over all nodes (zeros included), as
    NetworkX's ``average_clustering(G)``; 0.0 for a graph without nodes
    (where NetworkX divides by zero). Summed in node order with Neumaier's
    compensation, as Python's ``sum()`` does from 3.12 on."""
    value: float = _native.average_clustering(g)
    return value


def transitivity(g: IntGraphCore) -> float:
    """Three times the number of triangles divided by the number of
    connected triples (paths of two edges), self-loops ignored; 0.0 without
    triangles. As NetworkX's ``transitivity(G)``, to the last bit."""
    value: float = _native.transitivity(g)
    return value


def betweenness_centrality(
    g: IntGraphCore, k: SupportsIndex | None = None, seed: SupportsIndex | None = None, normalized: bool = True
) -> tuple[NDArray[np.int64], NDArray[np.float64]]:
    """``(ids, scores)``: shortest-path betweenness of every node by Brandes'
    algorithm, endpoints excluded, scaled as NetworkX's
    ``betweenness_centrality(G, k, normalized=normalized)`` scales it.

    With ``k=None`` every node is a source. Otherwise ``k`` sources (1 to the
    number of nodes, else ValueError) are drawn with ``seed``: the same seed
    on the same graph always draws the same sources (they differ from those
    NetworkX draws). They are the first k positions of a partial Fisher-Yates
    shuffle of the node positions 0..n-1, each position j taking a position
    drawn uniformly from [j, n) by Lemire's method from splitmix64 seeded
    with ``seed`` modulo 2**64. ``seed=None`` draws a seed from Python's
    ``random`` module. As in NetworkX, a sampled source's score is scaled as
    one of k - 1 sources (NaN when k is 1) and every other node's as one of k.

    The sources run in parallel; their contributions are added in ascending
    node position, so the result does not depend on the thread count. Path
    counts are kept scaled by powers of two, so graphs with more shortest
    paths than a double can count still get finite scores.

    Raises ValueError for any integer ``k`` outside 1..n, TypeError naming
    ``k`` or ``seed`` when they are not integers.

    Example: ``ids, scores = arborvane.betweenness_centrality(g, k=100, seed=1)``
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
