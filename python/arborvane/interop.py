"""Conversion between IntGraphCore and NetworkX graphs.

NetworkX is not a dependency of arborvane: it is imported only when
``to_networkx`` is called, and ``from_networkx`` only reads the graph it is
given. Node and edge attributes are not carried over in either direction.
"""

from __future__ import annotations

import operator
from itertools import chain
from arborvane._accel import IntGraphCore

TYPE_CHECKING = False  # typing itself is not imported at run time: it is slow to import
if TYPE_CHECKING:
    from typing import Any

    import networkx  # type: ignore[import-untyped,unused-ignore]

__all__ = ["from_networkx", "to_networkx"]

_INT64_MIN = -(1 << 63)
_INT64_MAX = (1 << 63) - 1


def from_networkx(graph: Any) -> IntGraphCore:
    """Build an IntGraphCore holding the nodes and edges of a NetworkX graph.

    ``graph`` must be an undirected simple graph (``networkx.Graph``) whose
    node labels are integers in the signed 64-bit range (Python ints or integer
    scalars such as numpy's; bools are refused). Isolated nodes and self-loops
    are kept; node and edge attributes (weights) are dropped. NetworkX itself
    is not imported.

    Parameters:
        graph: The NetworkX graph.

    Returns:
        The new graph, its nodes added in ``graph``'s node order.

    Raises:
        TypeError: ``graph`` is directed or a multigraph (convert it with
            ``G.to_undirected()`` or ``networkx.Graph(G)``), is not a NetworkX
            graph, or has a node label that is not an integer (the message
            names the first such node).
        OverflowError: A label is outside the signed 64-bit range.

    Complexity:
        O(n + m), dominated by reading NetworkX's Python objects.

    Examples:
        >>> import arborvane, networkx
        >>> arborvane.from_networkx(networkx.path_graph(4))
        IntGraphCore(nodes=4, edges=3)
    """
    kind = type(graph).__name__
    if not (callable(getattr(graph, "is_directed", None)) and callable(getattr(graph, "is_multigraph", None))):
        raise TypeError(f"from_networkx() expects a networkx.Graph, got {kind}")
    if graph.is_directed():
        raise TypeError(
            f"from_networkx() needs an undirected graph, got the directed {kind}; "
            "convert it first, e.g. with G.to_undirected(), or keep the direction (and weights) "
            "with arborvane.Graph.from_networkx(G)"
        )
    if graph.is_multigraph():
        raise TypeError(
            f"from_networkx() needs a simple graph, got the multigraph {kind} (parallel edges are "
            "not supported); convert it first, e.g. with networkx.Graph(G)"
        )
    nodes = list(graph)
    plain = all(type(node) is int for node in nodes) and (
        not nodes or (min(nodes) >= _INT64_MIN and max(nodes) <= _INT64_MAX)
    )
    if not plain:
        nodes = [_node_id(node) for node in nodes]
    core = IntGraphCore()
    # Nodes first, so that isolated nodes are kept; adding them in the
    # graph's order makes the result depend only on that graph.
    core.add_nodes_from(nodes)
    flat = list(chain.from_iterable(graph.edges()))
    if not plain:  # edge ends are node labels, already checked above
        flat = list(map(operator.index, flat))
    core.add_edges_flat(flat)
    return core


def to_networkx(core: IntGraphCore) -> networkx.Graph:
    """A new ``networkx.Graph`` with the nodes and edges of ``core``.

    Nodes are added in ``core.nodes()`` order, so isolated nodes are kept.
    Requires NetworkX to be installed.

    Parameters:
        core: The graph to copy.

    Returns:
        A new ``networkx.Graph`` without attributes.

    Raises:
        TypeError: ``core`` is not an IntGraphCore.
        ImportError: NetworkX is not installed.

    Complexity:
        O(n + m).

    Examples:
        >>> import arborvane
        >>> g = arborvane.IntGraphCore()
        >>> g.add_edges_flat([1, 2, 2, 3])
        >>> sorted(arborvane.to_networkx(g).degree())
        [(1, 1), (2, 2), (3, 1)]
    """
    if not isinstance(core, IntGraphCore):
        raise TypeError(f"to_networkx() expects an IntGraphCore, got {type(core).__name__}")
    try:
        import networkx  # type: ignore[import-untyped,unused-ignore]
    except ImportError:
        raise ImportError("to_networkx() requires NetworkX: pip install networkx") from None
    graph = networkx.Graph()
    graph.add_nodes_from(core.nodes())
    graph.add_edges_from(core.edges())
    return graph


def _node_id(node: object) -> int:
    """The node label as an int, or TypeError/OverflowError naming it."""
    if isinstance(node, bool):
        raise TypeError(f"from_networkx() needs integer node labels; node {node!r} is a bool")
    try:
        value = operator.index(node)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(
            f"from_networkx() needs integer node labels; node {node!r} is of type {type(node).__name__}"
        ) from None
    if not _INT64_MIN <= value <= _INT64_MAX:
        raise OverflowError(f"from_networkx(): node {node!r} does not fit in a signed 64-bit id")
    return value
