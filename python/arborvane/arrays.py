"""numpy views of an IntGraphCore, and graphs built from arrays.

Every result is written by native code straight into memory that the
returned numpy array owns: no Python int is made per element. Per-node
results line up with ``node_array(g)``, which lists the nodes in
``g.nodes()`` order, so they drop into pandas side by side.

SciPy is optional: ``to_scipy_sparse`` and ``from_scipy_sparse`` import it
when called (``pip install "arborvane[scipy]"``).
"""

from __future__ import annotations

import importlib.util
import warnings
from typing import TYPE_CHECKING, Any, Literal, overload

import numpy as np

from arborvane._accel import IntGraphCore
from arborvane._native import arrays as _native

if TYPE_CHECKING:
    from numpy.typing import ArrayLike, DTypeLike, NDArray

    from arborvane.graph import Graph

__all__ = [
    "node_array",
    "degree_array",
    "edge_array",
    "pagerank_array",
    "from_arrays",
    "to_scipy_sparse",
    "from_scipy_sparse",
    "PowerIterationFailedConvergence",
]


def node_array(g: IntGraphCore) -> NDArray[np.int64]:
    """The node ids of ``g`` in ``g.nodes()`` order, as an int64 array.

    Every per-node result of arborvane (``degree_array``, ``pagerank_array``,
    the analytics) lines up with this array.

    Parameters:
        g: The graph.

    Returns:
        A one-dimensional int64 array of ``len(g)`` ids.

    Raises:
        TypeError: ``g`` is not an IntGraphCore.
        RuntimeError: ``g`` is being changed by another thread.

    Complexity:
        O(n), written natively without a Python object per node.

    Examples:
        >>> import arborvane
        >>> g = arborvane.IntGraphCore()
        >>> g.add_edges_flat([1, 2, 2, 3])
        >>> arborvane.node_array(g).tolist() == g.nodes()
        True
    """
    return np.asarray(_native.node_ids(g))


def degree_array(g: IntGraphCore) -> NDArray[np.int64]:
    """The degree of every node, aligned with ``node_array(g)``.

    A self-loop adds 1 to its node's degree (NetworkX adds 2).

    Parameters:
        g: The graph.

    Returns:
        A one-dimensional int64 array of ``len(g)`` degrees.

    Raises:
        TypeError: ``g`` is not an IntGraphCore.
        RuntimeError: ``g`` is being changed by another thread.

    Complexity:
        O(n).

    Examples:
        >>> import arborvane
        >>> g = arborvane.IntGraphCore()
        >>> g.add_edges_flat([1, 2, 1, 3])
        >>> dict(zip(arborvane.node_array(g).tolist(), arborvane.degree_array(g).tolist()))[1]
        2
    """
    return np.asarray(_native.degrees(g))


def edge_array(g: IntGraphCore) -> NDArray[np.int64]:
    """The edges of ``g`` as an int64 array of shape (m, 2), in ``g.edges()`` order.

    Each edge appears once, smaller id first. At 10 million edges this is
    160 MB, where ``g.edges()`` would take over a gigabyte of Python tuples.

    Parameters:
        g: The graph.

    Returns:
        An (m, 2) int64 array.

    Raises:
        TypeError: ``g`` is not an IntGraphCore.
        RuntimeError: ``g`` is being changed by another thread.

    Complexity:
        O(n + m).

    Examples:
        >>> import arborvane
        >>> g = arborvane.IntGraphCore()
        >>> g.add_edges_flat([2, 1, 2, 3])
        >>> arborvane.edge_array(g).tolist() == [list(e) for e in g.edges()]
        True
    """
    return np.asarray(_native.edge_pairs(g))


class PowerIterationFailedConvergence(RuntimeWarning):
    """Warned by ``pagerank_array`` when ``max_iter`` ran out before ``tol`` was met.

    The scores returned are those of the last iteration. NetworkX raises an
    exception of this name in that case; a warning lets callers that cap the
    iterations on purpose (``max_iter=20``, or ``tol=0.0`` to run exactly
    ``max_iter``) filter it. Under ``-W error`` it is raised.

    Examples:
        >>> import warnings, arborvane
        >>> g = arborvane.IntGraphCore()
        >>> g.add_edges_flat([1, 2, 2, 3, 3, 1, 3, 4])
        >>> with warnings.catch_warnings():
        ...     warnings.simplefilter("ignore", arborvane.PowerIterationFailedConvergence)
        ...     ids, scores = arborvane.pagerank_array(g, max_iter=2)
        >>> with warnings.catch_warnings(record=True) as caught:
        ...     warnings.simplefilter("always")
        ...     ids, scores = arborvane.pagerank_array(g, max_iter=2)
        >>> str(caught[0].message)
        'power iteration failed to converge within 2 iterations (tol=1e-06)'
    """


def pagerank_array(
    g: IntGraphCore, damping: float = 0.85, max_iter: int = 100, tol: float = 1e-06
) -> tuple[NDArray[np.int64], NDArray[np.float64]]:
    """``(ids, scores)``: the scores of ``g.pagerank(damping, max_iter, tol)``, bit for bit.

    Parameters:
        g: The graph.
        damping: The damping factor (probability of following an edge), 0 to 1.
        max_iter: The most iterations to run, at least 1.
        tol: Stop when the L1 change of the scores falls below this; finite,
            at least 0.

    Returns:
        ``ids`` (int64, equal to ``node_array(g)``) and ``scores`` (float64).

    Warns:
        PowerIterationFailedConvergence: ``max_iter`` iterations ran out before
            the change fell below ``tol`` (the scores are the last iteration's).
            ``g.pagerank`` checks no ranges and never warns.

    Raises:
        TypeError: ``g`` is not an IntGraphCore, or a parameter has the wrong type.
        ValueError: A parameter is outside its range (naming it).
        OverflowError: ``max_iter`` does not fit in 64 bits (naming it).
        RuntimeError: Another thread is changing ``g`` (the message names the
            call); reads of ``g`` run together.
        KeyboardInterrupt: Ctrl-C was pressed during the iteration.

    Complexity:
        O(max_iter · (n + m)), in parallel; the same bits for any thread count.

    Examples:
        >>> import arborvane
        >>> g = arborvane.IntGraphCore()
        >>> g.add_edges_flat([1, 2, 2, 3, 3, 1, 3, 4])
        >>> ids, scores = arborvane.pagerank_array(g)
        >>> int(ids[scores.argmax()])
        3
    """
    if type(max_iter) is int and not 0 <= max_iter < 1 << 64:
        # Ranges the native conversion would report without the argument's
        # name (it checks the others, after converting under the borrow).
        if max_iter < 0:
            raise ValueError(f"max_iter must be at least 1, got {max_iter}")
        raise OverflowError(f"argument 'max_iter': {max_iter} does not fit in 64 bits")
    ids, scores, converged = _native.pagerank_scores(g, damping, max_iter, tol)
    if not converged:
        warnings.warn(
            f"power iteration failed to converge within {max_iter} iterations (tol={tol})",
            PowerIterationFailedConvergence,
            stacklevel=2,
        )
    return np.asarray(ids), np.asarray(scores)


@overload
def from_arrays(u: ArrayLike, v: ArrayLike, weights: None = None, *, directed: Literal[False] = False) -> IntGraphCore: ...
@overload
def from_arrays(u: ArrayLike, v: ArrayLike, weights: ArrayLike, *, directed: bool = False) -> Graph: ...
@overload
def from_arrays(u: ArrayLike, v: ArrayLike, weights: ArrayLike | None = None, *, directed: Literal[True]) -> Graph: ...
@overload
def from_arrays(
    u: ArrayLike, v: ArrayLike, weights: ArrayLike | None = None, *, directed: bool = False
) -> IntGraphCore | Graph: ...
def from_arrays(
    u: ArrayLike, v: ArrayLike, weights: ArrayLike | None = None, *, directed: bool = False
) -> IntGraphCore | Graph:
    """A new IntGraphCore with the edges ``(u[k], v[k])``, added in order;
    with ``weights`` or ``directed=True``, an ``arborvane.Graph``.

    The IntGraphCore is the one ``add_edges_flat`` builds from
    ``u[0], v[0], u[1], v[1], ...``, node order included. Parallel edges
    collapse into one; ``u[k] == v[k]`` is a self-loop. IntGraphCore is
    undirected and unweighted, so weighted or directed edges make the
    immutable ``arborvane.Graph`` instead: ``from_edges(u, v, weights,
    directed=directed)``, parallel edges' weights summed (see
    ``arborvane.from_edges`` for its labels and rules).

    Parameters:
        u: First ends: a one-dimensional array (or list) of any integer dtype
            that numpy casts safely to int64 (int8 to int64, uint8 to uint32);
            for a Graph, any labels ``from_edges`` takes.
        v: Second ends, of the same length.
        weights: One number per edge (a Graph), or None.
        directed: Whether ``u[k] -> v[k]`` has a direction (a Graph).

    Returns:
        The new IntGraphCore, or a Graph when ``weights`` is given or
        ``directed`` is true.

    Raises:
        TypeError: ``u`` or ``v`` is not an integer array that converts safely
            to int64 (floats and uint64 are refused); the message names the dtype.
            A numpy masked array is refused too (its mask would be ignored).
        ValueError: ``u`` and ``v`` differ in length, or are not one-dimensional;
            for a Graph, whatever ``from_edges`` refuses (weights of the wrong
            length or NaN).

    Complexity:
        O(m), natively, without a Python object per edge.

    Examples:
        >>> import arborvane, numpy as np
        >>> g = arborvane.from_arrays(np.array([1, 2, 3]), np.array([2, 3, 1]))
        >>> g
        IntGraphCore(nodes=3, edges=3)
        >>> arborvane.from_arrays(np.array([1, 2]), np.array([2, 3]), weights=np.array([0.5, 2.0]), directed=True)
        <arborvane.Graph directed, 3 nodes, 2 edges, weighted>
    """
    if weights is not None or directed:
        from arborvane.graph import from_edges

        return from_edges(u, v, weights, directed=directed)
    first = _id_array(u, "u", "from_arrays")
    second = _id_array(v, "v", "from_arrays")
    if first.size != second.size:
        raise ValueError(f"from_arrays(): u and v differ in length ({first.size} and {second.size})")
    graph: IntGraphCore = _native.graph_from_edges(first, second, None)
    return graph


def to_scipy_sparse(g: IntGraphCore, dtype: DTypeLike = np.float64) -> tuple[Any, NDArray[np.int64]]:
    """``(A, ids)``: the adjacency matrix of ``g`` as a ``scipy.sparse.csr_array``.

    ``A`` holds ones (of ``dtype``), is symmetric, has a self-loop as one entry
    on the diagonal, and has its column indices sorted within each row. Rows
    and columns follow ``ids`` (equal to ``node_array(g)``). Needs SciPy
    (``pip install "arborvane[scipy]"``).

    Parameters:
        g: The graph.
        dtype: The dtype of the stored ones.

    Returns:
        The n x n matrix and the int64 ids of its rows and columns.

    Raises:
        ImportError: SciPy is not installed (saying how to install it), or
            SciPy's own error when it is installed but fails to import.
        RuntimeError: Another thread is changing ``g`` (the message names the
            call); reads of ``g`` run together.

    Complexity:
        O(n + m).

    Examples:
        >>> import arborvane
        >>> g = arborvane.IntGraphCore()
        >>> g.add_edges_flat([1, 2, 2, 3])
        >>> A, ids = arborvane.to_scipy_sparse(g)
        >>> A.shape, int(A.sum())
        ((3, 3), 4)
    """
    sparse = _scipy_sparse("to_scipy_sparse")
    ids, indptr, indices = (np.asarray(part) for part in _native.adjacency_csr(g))
    n = ids.size
    matrix = sparse.csr_array((np.ones(indices.size, dtype=dtype), indices, indptr), shape=(n, n))
    matrix.has_sorted_indices = True
    return matrix, ids


def from_scipy_sparse(A: Any, ids: ArrayLike | None = None) -> IntGraphCore:
    """A new IntGraphCore from the square sparse matrix ``A``.

    Row i is the node ``ids[i]`` (or i without ``ids``); every stored entry
    (i, j) whose value is not zero adds the edge ``ids[i]``–``ids[j]``. Rows
    without entries give isolated nodes; a symmetric matrix gives each edge
    from both of its entries, which is harmless.
    ``from_scipy_sparse(*to_scipy_sparse(g))`` has the nodes and edges of ``g``.

    Parameters:
        A: A SciPy sparse array or matrix, square.
        ids: Distinct integer node ids, one per row; by default ``0 .. n-1``.

    Returns:
        The new graph.

    Raises:
        ImportError: SciPy is not installed.
        TypeError: ``A`` is not a SciPy sparse array or matrix, or ``ids`` is
            not an integer array.
        ValueError: ``A`` is not square, or ``ids`` has the wrong length or repeats an id.

    Complexity:
        O(n + nnz).

    Examples:
        >>> import arborvane, scipy.sparse
        >>> A = scipy.sparse.csr_array([[0, 1], [1, 0]])
        >>> arborvane.from_scipy_sparse(A, ids=[10, 20]).edges()
        [(10, 20)]
    """
    sparse = _scipy_sparse("from_scipy_sparse")
    if not sparse.issparse(A):
        raise TypeError(f"from_scipy_sparse(): A must be a SciPy sparse array or matrix, not {type(A).__name__}")
    shape = A.shape
    if len(shape) != 2 or shape[0] != shape[1]:
        raise ValueError(f"from_scipy_sparse(): A must be square, got shape {shape}")
    n = int(shape[0])
    if ids is None:
        node_ids = np.arange(n, dtype=np.int64)
    else:
        node_ids = _id_array(ids, "ids", "from_scipy_sparse")
        if node_ids.size != n:
            raise ValueError(f"from_scipy_sparse(): ids has {node_ids.size} entries for {n} rows")
    rows = A.tocsr()
    u, v = _entry_ids(rows.indptr, rows.indices, rows.data, node_ids)
    graph: IntGraphCore = _native.graph_from_edges(u, v, node_ids)
    if len(graph) != n:  # the graph holds each distinct id once
        raise ValueError("from_scipy_sparse(): ids must be distinct")
    return graph


# Matrix entries per numpy step of from_scipy_sparse: each step is one
# uninterruptible gather, about 10 ms for 2^20 entries on a quiet machine,
# so Ctrl-C is seen between two of them.
_ENTRIES_PER_STEP = 1 << 20


def _entry_ids(indptr: Any, indices: Any, data: Any, node_ids: NDArray[np.int64]) -> tuple[Any, Any]:
    """The node ids (row's, column's) of every nonzero entry of a CSR
    matrix, in storage order, a step of entries at a time."""
    total = int(indptr[-1])
    u = np.empty(total, dtype=np.int64)
    v = np.empty(total, dtype=np.int64)
    kept = 0
    for start in range(0, total, _ENTRIES_PER_STEP):
        end = min(total, start + _ENTRIES_PER_STEP)
        # The rows whose entries overlap [start, end), and how many of them each holds there.
        first = int(np.searchsorted(indptr, start, side="right")) - 1
        last = int(np.searchsorted(indptr, end - 1, side="right")) - 1
        bounds = np.clip(indptr[first : last + 2], start, end)
        row_of_entry = np.repeat(np.arange(first, last + 1), np.diff(bounds))
        nonzero = data[start:end] != 0
        count = int(np.count_nonzero(nonzero))
        np.take(node_ids, row_of_entry[nonzero], out=u[kept : kept + count])
        np.take(node_ids, indices[start:end][nonzero], out=v[kept : kept + count])
        kept += count
    return u[:kept], v[:kept]


def _id_array(values: Any, name: str, function: str) -> NDArray[np.int64]:
    """`values` as a contiguous one-dimensional int64 array, or TypeError
    (naming the dtype) / ValueError (naming the shape)."""
    if isinstance(values, np.ma.MaskedArray):
        raise TypeError(
            f"{function}(): {name} is a numpy masked array, whose mask would be ignored; "
            "pass a plain array of the entries to use"
        )
    array = np.asarray(values)
    if array.size == 0 and not isinstance(values, np.ndarray):
        array = array.astype(np.int64)  # an empty list is float64 to numpy
    if array.dtype.kind not in "iu" or not np.can_cast(array.dtype, np.int64, casting="safe"):
        raise TypeError(
            f"{function}(): {name} must hold integers that convert safely to int64, not dtype {array.dtype}"
        )
    if array.ndim != 1:
        raise ValueError(f"{function}(): {name} must be one-dimensional, got shape {array.shape}")
    return np.ascontiguousarray(array, dtype=np.int64)


def _scipy_sparse(function: str) -> Any:
    """scipy.sparse; ImportError saying how to install SciPy when it is not
    installed. When it is but fails to import, that error passes through."""
    if importlib.util.find_spec("scipy") is None:
        raise ImportError(f'{function}() needs SciPy: pip install "arborvane[scipy]"')
    import scipy.sparse  # type: ignore[import-untyped,unused-ignore]

    return scipy.sparse
