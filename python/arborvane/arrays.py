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
from typing import TYPE_CHECKING, Any

import numpy as np

from arborvane._accel import IntGraphCore
from arborvane._native import arrays as _native

if TYPE_CHECKING:
    from numpy.typing import ArrayLike, DTypeLike, NDArray

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
    """The node ids of ``g`` in ``g.nodes()`` order, as an int64 array."""
    return np.asarray(_native.node_ids(g))


def degree_array(g: IntGraphCore) -> NDArray[np.int64]:
    """The degree of every node, aligned with ``node_array(g)`` (a self-loop adds 1)."""
    return np.asarray(_native.degrees(g))


def edge_array(g: IntGraphCore) -> NDArray[np.int64]:
    """The edges of ``g`` as an int64 array of shape (m, 2), in ``g.edges()``
    order: each edge once, smaller id first."""
    return np.asarray(_native.edge_pairs(g))


class PowerIterationFailedConvergence(RuntimeWarning):
    """Warned by ``pagerank_array`` when ``max_iter`` iterations ran out
    before the change between two of them fell below ``tol`` (NetworkX
    raises an exception of this name in that case). The scores are those
    of the last iteration. Callers that cap the iterations on purpose
    filter it: ``warnings.simplefilter("ignore", PowerIterationFailedConvergence)``.
    """


def pagerank_array(
    g: IntGraphCore, damping: float = 0.85, max_iter: int = 100, tol: float = 1e-06
) -> tuple[NDArray[np.int64], NDArray[np.float64]]:
    """``(ids, scores)``: the scores of ``g.pagerank(damping, max_iter, tol)``,
    bit for bit, with ``ids`` equal to ``node_array(g)``.

    Parameters: ``damping`` between 0 and 1; ``max_iter`` at least 1;
    ``tol`` finite and at least 0 (the iteration stops once the L1 change
    of the scores falls below it). Raises TypeError for arguments of the
    wrong type, ValueError naming the argument for values outside those
    ranges, OverflowError (naming it) for integers beyond 64 bits. When
    ``max_iter`` ends the iteration before ``tol`` is reached it warns
    ``PowerIterationFailedConvergence`` (a RuntimeWarning). ``g.pagerank``
    itself checks none of this and never warns.

    Example: ``ids, scores = arborvane.pagerank_array(g, damping=0.9)``
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


def from_arrays(u: ArrayLike, v: ArrayLike) -> IntGraphCore:
    """A new IntGraphCore with the edges ``(u[k], v[k])``, added in order.

    ``u`` and ``v`` are one-dimensional arrays of equal length of any integer
    dtype that numpy casts safely to int64 (anything else is a TypeError
    naming the dtype; so is a numpy masked array, whose mask would be
    ignored). The graph is the one ``add_edges_flat`` builds from
    ``u[0], v[0], u[1], v[1], ...``, node order included.

    Example: ``g = arborvane.from_arrays(np.array([1, 2]), np.array([2, 3]))``
    """
    first = _id_array(u, "u", "from_arrays")
    second = _id_array(v, "v", "from_arrays")
    if first.size != second.size:
        raise ValueError(f"from_arrays(): u and v differ in length ({first.size} and {second.size})")
    graph: IntGraphCore = _native.graph_from_edges(first, second, None)
    return graph


def to_scipy_sparse(g: IntGraphCore, dtype: DTypeLike = np.float64) -> tuple[Any, NDArray[np.int64]]:
    """``(A, ids)``: the adjacency matrix of ``g`` as a ``scipy.sparse.csr_array``
    of ones (of ``dtype``), rows and columns in ``ids`` order (``node_array(g)``).

    ``A`` is symmetric; a self-loop is one entry on the diagonal. Column
    indices are sorted within each row. Builds and caches the graph's
    snapshot, like ``g.pagerank()``. Raises ImportError: saying how to
    install SciPy when it is not installed, or SciPy's own when it is but
    fails to import.

    Example: ``A, ids = arborvane.to_scipy_sparse(g)``
    """
    sparse = _scipy_sparse("to_scipy_sparse")
    ids, indptr, indices = (np.asarray(part) for part in _native.adjacency_csr(g))
    n = ids.size
    matrix = sparse.csr_array((np.ones(indices.size, dtype=dtype), indices, indptr), shape=(n, n))
    matrix.has_sorted_indices = True
    return matrix, ids


def from_scipy_sparse(A: Any, ids: ArrayLike | None = None) -> IntGraphCore:
    """A new IntGraphCore from the square sparse matrix ``A``: a node per row
    (``ids[i]`` for row i, or i itself without ``ids``), then an edge between
    ``ids[i]`` and ``ids[j]`` for every stored entry (i, j) whose value is not
    zero. Rows without entries give isolated nodes; a symmetric matrix gives
    each edge from both of its entries, which is harmless.
    ``from_scipy_sparse(*to_scipy_sparse(g))`` has the nodes and edges of ``g``.
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
