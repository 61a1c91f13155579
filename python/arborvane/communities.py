"""Community detection: Louvain, Leiden, label propagation, and modularity.

Every function returns ``(ids, labels)``: two numpy int64 arrays, ``ids``
equal to ``node_array(g)`` and ``labels[i]`` the community of ``ids[i]``.
Louvain, Leiden and modularity also take an undirected ``arborvane.Graph``
and then use its edge weights: they return ``(g.labels, labels)``.
Communities are numbered 0 to k-1 by first appearance in node order: the
first node is in community 0, the first node outside it in community 1, and
so on. The same graph and seed give the same labels on any number of worker
threads (``RAYON_NUM_THREADS``); ``seed=None`` draws a seed from Python's
``random`` module. See docs/communities.md.
"""

from __future__ import annotations

import operator
import random
from typing import TYPE_CHECKING, Any

import numpy as np

from arborvane._accel import IntGraphCore
from arborvane._native import arrays as _native
from arborvane.graph import Graph

if TYPE_CHECKING:
    from typing import SupportsFloat, SupportsIndex

    from numpy.typing import ArrayLike, NDArray

__all__ = ["louvain_communities", "leiden_communities", "label_propagation_communities", "modularity"]

_SEED_MASK = (1 << 64) - 1


def _seed(seed: SupportsIndex | None) -> int:
    if seed is None:
        return random.getrandbits(64)
    return operator.index(seed) & _SEED_MASK


def _rows(g: Graph, weight: bool) -> tuple[NDArray[np.int64], NDArray[Any], NDArray[Any] | None]:
    """An undirected Graph's rows, without their weights unless ``weight``; the weights checked."""
    if g.directed:
        raise ValueError("argument 'g': community detection needs an undirected Graph")
    indptr, indices, weights = g.csr()
    if not weight:
        return indptr, indices, None
    if weights is not None and not (np.isfinite(weights).all() and (weights >= 0).all()):
        raise ValueError("argument 'g': community detection needs finite edge weights >= 0")
    return indptr, indices, weights


def _multilevel(g: IntGraphCore | Graph, resolution: SupportsFloat, seed: SupportsIndex | None,
                iterations: SupportsIndex, weight: bool, leiden: bool) -> tuple[NDArray[Any], NDArray[np.int64]]:
    if isinstance(g, Graph):
        labels = _native.csr_communities(*_rows(g, weight), resolution, _seed(seed), iterations, leiden)
        return g.labels, np.asarray(labels)
    detect = _native.leiden_labels if leiden else _native.louvain_labels
    ids, labels = detect(g, resolution, _seed(seed), iterations)
    return np.asarray(ids), np.asarray(labels)


def louvain_communities(g: IntGraphCore | Graph, resolution: SupportsFloat = 1.0, seed: SupportsIndex | None = None,
                        iterations: SupportsIndex = 2, weight: bool = True) -> tuple[NDArray[Any], NDArray[np.int64]]:
    """Communities of maximal modularity by the Louvain method.

    Blondel et al.'s multilevel method: nodes move to the neighbouring
    community that raises modularity most until none gains, then each
    community becomes a node of a smaller weighted graph and the moving
    goes on there, until a level merges nothing. The whole method runs
    ``iterations`` times, each run starting from the previous result (the
    second run typically adds 0.005 to 0.03 to the modularity). Then the
    nodes move once more from the result (the last levels move whole
    communities, leaving single nodes that gain by moving), and finally
    every community is split into its connected parts, which can only raise
    modularity, so every community is connected.

    Nodes are visited in an order drawn from ``seed`` (the first pass over
    each aggregated level visits them by degree, largest first, which finds
    higher modularity on graphs with hubs) and decide in parallel in small
    sub-rounds, with ties going by a seeded hash of node and community: the
    labels depend on the graph and the seed only, never on the thread count.

    Parameters:
        g: the graph: an IntGraphCore, or an undirected ``arborvane.Graph``
            whose edge weights (finite, >= 0) are used.
        resolution: the resolution gamma of modularity (a finite number
            >= 0); below 1 favours larger communities, above 1 smaller ones.
        seed: any integer (taken modulo 2**64); None draws one from Python's
            ``random`` module.
        iterations: how many times the method runs (at least 1).
        weight: for a Graph, False gives every edge weight 1 (an
            IntGraphCore's edges always weigh 1).

    Returns:
        ``(ids, labels)``: ``ids`` equal to ``node_array(g)`` (for a Graph:
        ``g.labels``), ``labels`` the community of each, numbered 0 to k-1
        by first appearance.

    Raises:
        TypeError: ``g`` is neither an IntGraphCore nor a Graph, or an
            argument has the wrong type.
        ValueError: ``resolution`` is negative or not finite,
            ``iterations`` is below 1, or ``g`` is a directed Graph or has
            a negative or non-finite weight.
        RuntimeError: the graph is borrowed by a running iteration.

    Examples:
        >>> import arborvane
        >>> g = arborvane.IntGraphCore()
        >>> g.add_edges_from([(1, 2), (2, 3), (1, 3), (4, 5), (5, 6), (4, 6), (3, 4)])
        >>> ids, labels = arborvane.louvain_communities(g, seed=1)
        >>> sorted(zip(ids.tolist(), labels.tolist()))  # two triangles
        [(1, 0), (2, 0), (3, 0), (4, 1), (5, 1), (6, 1)]
        >>> w = arborvane.from_edges(["a", "b", "c"], ["b", "c", "d"], weights=[5.0, 0.1, 5.0])
        >>> arborvane.louvain_communities(w, seed=1)[1].tolist()  # the heavy edges
        [0, 0, 1, 1]
    """
    return _multilevel(g, resolution, seed, iterations, weight, leiden=False)


def leiden_communities(g: IntGraphCore | Graph, resolution: SupportsFloat = 1.0, seed: SupportsIndex | None = None,
                       iterations: SupportsIndex = 2, weight: bool = True) -> tuple[NDArray[Any], NDArray[np.int64]]:
    """Communities of maximal modularity by the Leiden method.

    Traag, Waltman and van Eck's refinement of Louvain: after the moving on
    each level, every community is refined. Its nodes start alone, and a
    node still alone joins the sub-community within its community that
    raises modularity most (both well connected to the rest of the
    community); the refined sub-communities become the next level's nodes,
    which start in the communities they came from. Sub-communities grow
    only by nodes with an edge into them, so they are connected. As with
    igraph's and leidenalg's ``n_iterations``, the method runs
    ``iterations`` times, each from the previous result, and then the nodes
    move once more from the result, as in ``louvain_communities``. The result's
    communities are connected (as in ``louvain_communities``, each is split
    into its connected parts at the end, which the refinement makes rare).

    The refinement picks the best sub-community rather than a random one,
    and the whole run is deterministic: the labels depend on the graph and
    the seed only, never on the thread count.

    Parameters:
        g: as for ``louvain_communities`` (an IntGraphCore or an undirected,
            optionally weighted Graph).
        resolution: as for ``louvain_communities``.
        seed: as for ``louvain_communities``.
        iterations: how many times the method runs (at least 1).
        weight: as for ``louvain_communities``.

    Returns:
        ``(ids, labels)`` as ``louvain_communities`` returns them.

    Raises:
        TypeError: ``g`` is neither an IntGraphCore nor a Graph, or an
            argument is not of a type it accepts.
        ValueError: a bad ``resolution`` or ``iterations``, a directed
            Graph, or a negative or non-finite weight.
        RuntimeError: the graph is borrowed by a running iteration.

    Examples:
        >>> import arborvane
        >>> g = arborvane.IntGraphCore()
        >>> g.add_edges_flat([0, 1, 1, 2, 2, 0, 2, 3, 3, 4, 4, 5, 5, 3])
        >>> ids, labels = arborvane.leiden_communities(g, seed=7)
        >>> sorted(zip(ids.tolist(), labels.tolist()))  # triangles joined by an edge
        [(0, 0), (1, 0), (2, 0), (3, 1), (4, 1), (5, 1)]
    """
    return _multilevel(g, resolution, seed, iterations, weight, leiden=True)


def label_propagation_communities(
    g: IntGraphCore, seed: SupportsIndex | None = None
) -> tuple[NDArray[np.int64], NDArray[np.int64]]:
    """Communities by label propagation.

    Every node starts with a label of its own and repeatedly takes the label
    most common among its neighbours (keeping its own when that is among the
    most common; otherwise the smallest), until no label changes or after
    100 passes. Nodes are visited in an order drawn from ``seed``, in small
    parallel sub-rounds: the labels depend on the graph and the seed only,
    never on the thread count. A community need not be connected. Fast, but
    on graphs without a clear community structure (a uniform random graph,
    say) it often ends with one community.

    Parameters:
        g: the graph.
        seed: any integer (taken modulo 2**64); None draws one from Python's
            ``random`` module.

    Returns:
        ``(ids, labels)``: ``ids`` equal to ``node_array(g)``, ``labels`` the
        community of each, numbered 0 to k-1 by first appearance.

    Raises:
        TypeError: ``g`` is not an IntGraphCore, or ``seed`` is not an integer.
        RuntimeError: the graph is borrowed by a running iteration.

    Examples:
        >>> import arborvane
        >>> g = arborvane.IntGraphCore()
        >>> g.add_edges_from([(1, 2), (2, 3), (1, 3), (7, 8)])
        >>> ids, labels = arborvane.label_propagation_communities(g, seed=0)
        >>> sorted(zip(ids.tolist(), labels.tolist()))
        [(1, 1), (2, 1), (3, 1), (7, 0), (8, 0)]
    """
    ids, labels = _native.label_propagation_labels(g, _seed(seed))
    return np.asarray(ids), np.asarray(labels)


def modularity(
    g: IntGraphCore | Graph, labels: ArrayLike, resolution: SupportsFloat = 1.0, weight: bool = True
) -> float:
    """Modularity of a partition of the nodes, as NetworkX defines it.

    ``Q = sum over communities c of L_c / m - resolution * (D_c / 2m)**2``,
    with m the number of edges, L_c the edges inside c and D_c the sum of
    the degrees in c; a self-loop is one edge and adds 2 to its node's
    degree. Equal to ``networkx.community.modularity(G, communities,
    resolution=resolution)`` for the same partition (to rounding). For a
    weighted Graph every count is a sum of weights (m the total weight, a
    self-loop's weight counted twice in its node's degree), as with
    ``weight="weight"`` in NetworkX.

    Parameters:
        g: the graph: an IntGraphCore or an undirected Graph.
        labels: one integer per node, in ``node_array(g)`` order (for a
            Graph: ``g.labels`` order); nodes with equal labels form a
            community (any integer values).
        resolution: the resolution gamma (a finite number >= 0).
        weight: for a Graph, False gives every edge weight 1.

    Returns:
        The modularity, a float between -0.5 and 1 at resolution 1; NaN for a
        graph without edges or of total weight 0 (where NetworkX divides by
        zero).

    Raises:
        TypeError: ``g`` is neither an IntGraphCore nor a Graph, or
            ``labels`` are not integers.
        ValueError: ``labels`` do not have one value per node,
            ``resolution`` is negative or not finite, or ``g`` is a directed
            Graph or has a negative or non-finite weight.
        RuntimeError: the graph is borrowed by a running iteration.

    Examples:
        >>> import arborvane
        >>> g = arborvane.IntGraphCore()
        >>> g.add_edges_from([(1, 2), (2, 3), (1, 3), (4, 5), (5, 6), (4, 6), (3, 4)])
        >>> labels = [0 if v <= 3 else 1 for v in arborvane.node_array(g).tolist()]
        >>> round(arborvane.modularity(g, labels), 6)
        0.357143
        >>> w = arborvane.from_edges([0, 1], [1, 2], weights=[3.0, 1.0])
        >>> arborvane.modularity(w, [0, 0, 1])
        -0.03125
    """
    values = np.asarray(labels)
    if values.dtype.kind not in "iub" or values.ndim != 1:
        raise TypeError(f"argument 'labels': expected a one-dimensional array of integers, got {values.dtype} "
                        f"with shape {values.shape}")
    # Any integers: numbered 0..k-1 (a community's number is its rank among the labels).
    numbered = np.unique(values, return_inverse=True)[1].astype(np.int64, copy=False).reshape(-1)
    if isinstance(g, Graph):
        value: float = _native.csr_modularity(*_rows(g, weight), numbered, resolution)
    else:
        value = _native.modularity_value(g, numbered, resolution)
    return value
