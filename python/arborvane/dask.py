"""Graphs partitioned by node over a Dask cluster.

A graph too large for one process (arborvane holds about 27 bytes per edge)
or already stored as many Parquet or edge-list files is split by node into
partitions, each an ``IntGraphCore`` held in the memory of one Dask worker.
Partition p owns the nodes whose id the partitioner maps to p (a hash of the
id, or ranges of ids) and holds every edge with an owned end: an edge inside
a partition is stored there once, an edge between two partitions in both.
The nodes at the far end of such a crossing edge are the partition's ghosts.

The analytics run inside the workers on arborvane's native functions and
exchange only what crosses the partition boundaries:

- ``pagerank``: every iteration, each partition sends each other partition
  the PageRank shares (8 bytes) of its owned nodes that are ghosts there.
- ``component_labels``: components of each partition's local graph, then
  rounds in which partitions exchange the labels of the nodes they share
  until no label falls.
- ``degrees``: no exchange at all (an owned node has all its edges at home).

Results are Dask DataFrames with one row per node, partitioned like the
graph; nothing is gathered to the client unless it computes them.
``distributed.progress`` and the dashboard show the work under the task
names ``arborvane-split``, ``arborvane-build``, ``arborvane-pagerank`` and so on.

Needs ``pip install "arborvane[dask]"`` (dask[dataframe], distributed,
pyarrow, scipy).
"""

from __future__ import annotations

import glob
import importlib.util
import operator
import os
import threading
import uuid
from collections.abc import Callable, Iterable, Sequence
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np

_NEEDS_DASK = 'arborvane.dask needs Dask: pip install "arborvane[dask]"'
try:
    import distributed
except ImportError:
    raise ImportError(_NEEDS_DASK) from None
if importlib.util.find_spec("dask.dataframe") is None:
    raise ImportError(_NEEDS_DASK)

from arborvane._accel import IntGraphCore
from arborvane._native import arrays as _native
from arborvane.analytics import component_labels as _component_labels
from arborvane.arrays import _id_array, degree_array, edge_array, node_array
from arborvane.edgelist import read_edge_list

# pandas and dask.dataframe (with pyarrow, about 100 MB of a worker's
# memory) are imported where a DataFrame is made or read, not here: the
# workers import this module to run its tasks, and most never need them.
if TYPE_CHECKING:
    import dask.dataframe as dd
    import pandas as pd
    from numpy.typing import ArrayLike, NDArray

__all__ = [
    "DaskGraph",
    "PageRank",
    "from_dataframe",
    "read_parquet",
    "read_edgelists",
    "degrees",
    "pagerank",
    "component_labels",
]

# Resident memory of a partition's IntGraphCore per edge, as Dask's sizeof
# reports it: 4M edges added by add_edges_flat in 16 buckets took 139 MiB
# (36 bytes; from_arrays in one call, 27 bytes, but a higher peak).
_GRAPH_BYTES_PER_EDGE = 36

# Neighbour entries gathered per block in a PageRank iteration: 8 MiB of
# gathered scores, small beside the partition. On the shared 2-core machine
# (load about 25), 8M entries in blocks of 2**18 to 2**23 ran within 25% of
# each other; blocks of 2**16 were slower.
_GATHER_ENTRIES = 1 << 20


class _Owners:
    """Which partition owns each node id: a hash of the id modulo the
    partition count, or the range between sorted boundaries."""

    def __init__(self, count: int, boundaries: NDArray[np.int64] | None = None) -> None:
        self.count = count
        self.boundaries = boundaries

    def __call__(self, ids: NDArray[np.int64]) -> NDArray[np.int64]:
        if self.boundaries is not None:
            return np.searchsorted(self.boundaries, ids, side="right").astype(np.int64)
        # splitmix64's finaliser: ids in any pattern spread evenly.
        z = ids.view(np.uint64) + np.uint64(0x9E3779B97F4A7C15)
        z = (z ^ (z >> np.uint64(30))) * np.uint64(0xBF58476D1CE4E5B9)
        z = (z ^ (z >> np.uint64(27))) * np.uint64(0x94D049BB133111EB)
        z ^= z >> np.uint64(31)
        return (z % np.uint64(self.count)).astype(np.int64)


class _Part:
    """One partition on a worker: its index, the partitioner, and the
    IntGraphCore of every edge with an owned end. Tasks on the same worker
    may run in parallel threads, so every native call holds `lock` (the
    graph refuses an overlapping exclusive borrow instead of waiting).

    Pickles as its edge array (16 bytes per edge), should Dask move or
    spill it; the copy is rebuilt from it."""

    def __init__(self, index: int, owners: _Owners, graph: IntGraphCore) -> None:
        self.index = index
        self.owners = owners
        self.graph = graph
        self.lock = threading.Lock()

    def __reduce__(self) -> tuple[Any, ...]:
        with self.lock:
            edges = edge_array(self.graph)
        return (_rebuild_part, (self.index, self.owners, edges))

    def __sizeof__(self) -> int:
        return _GRAPH_BYTES_PER_EDGE * self.graph.number_of_edges() + 64


def _rebuild_part(index: int, owners: _Owners, edges: NDArray[np.int64]) -> _Part:
    return _build(index, owners, edges.T)


def _drop_snapshot(graph: IntGraphCore) -> None:
    """Frees the CSR snapshot (about 20 bytes per edge) that an analytic
    cached in `graph`: every mutation discards it, adding no nodes too."""
    graph.add_nodes_from([])


class _Layout:
    """What a partition's analytics need from its local graph: the local
    node ids (node_array order), the owned positions, the adjacency rows of
    the owned nodes, and for every other partition q the nodes shared with
    q, each list sorted by node id so that both sides agree on its order
    without asking each other:

    - send[q]: owned nodes with a neighbour owned by q (indices into the
      owned positions): q holds them as ghosts;
    - receive[q]: local positions of the ghosts that q owns.
    """

    def __init__(self, part: _Part) -> None:
        with part.lock:
            ids, indptr, indices = (np.asarray(a) for a in _native.adjacency_csr(part.graph))
            _drop_snapshot(part.graph)
        owner = part.owners(ids)
        home = owner == part.index
        self.ids = ids
        self.owned = np.flatnonzero(home)
        if self.owned.size != ids.size:  # only the owned nodes' rows
            starts, ends = indptr[self.owned], indptr[self.owned + 1]
            self.indptr = np.concatenate([[0], np.cumsum(ends - starts)]).astype(indptr.dtype)
            keep = np.zeros(indices.size + 1, dtype=np.int8)
            np.add.at(keep, starts, 1)
            np.add.at(keep, ends, -1)
            indices = indices[np.cumsum(keep[:-1], dtype=np.int8).view(bool)]
        else:
            self.indptr = indptr
        self.indices = indices
        self.degrees = np.diff(self.indptr).astype(np.float64)
        # Entries from an owned node to a ghost, and the ghost's owner.
        crossing = np.flatnonzero(~home[indices])
        rows = np.searchsorted(self.indptr, crossing, side="right") - 1
        column_owner = owner[indices[crossing]]
        self.send: dict[int, NDArray[np.intp]] = {}
        self.receive: dict[int, NDArray[np.intp]] = {}
        for q in np.unique(column_owner).tolist():
            senders = np.unique(rows[column_owner == q])
            self.send[q] = senders[np.argsort(ids[self.owned[senders]], kind="stable")]
            ghosts = np.flatnonzero(owner == q)
            self.receive[q] = ghosts[np.argsort(ids[ghosts], kind="stable")]

    def gather_sum(self, values: NDArray[np.float64]) -> NDArray[np.float64]:
        """For every owned node, the sum of `values` (one per local node)
        over its neighbours, block by block so the gathered entries stay a
        few MiB whatever the partition's size."""
        out = np.empty(self.owned.size)
        rows = max(1, self.owned.size * _GATHER_ENTRIES // max(1, self.indices.size))
        for first in range(0, self.owned.size, rows):
            last = min(self.owned.size, first + rows)
            a, b = int(self.indptr[first]), int(self.indptr[last])
            out[first:last] = np.add.reduceat(values[self.indices[a:b]], self.indptr[first:last] - a)
        return out

    def __sizeof__(self) -> int:
        arrays = [self.ids, self.owned, self.degrees, self.indices, self.indptr]
        arrays += [*self.send.values(), *self.receive.values()]
        return sum(a.nbytes for a in arrays) + 64


def _split(data: Any, owners: _Owners, source: str | None = None, target: str | None = None) -> list[NDArray[np.int64]]:
    """The edges of one input partition sorted into the partitions that own
    their ends: a (2, k) array per partition, an edge between two partitions
    in both. `data` is a pandas DataFrame with the columns `source` and
    `target`, or without them a (k, 2) int64 array."""
    if source is None or target is None:
        u, v = data[:, 0], data[:, 1]
    else:
        u = _id_array(np.asarray(data[source]), source, "arborvane.dask.from_dataframe")
        v = _id_array(np.asarray(data[target]), target, "arborvane.dask.from_dataframe")
    owner_u, owner_v = owners(u), owners(v)
    crossing = np.flatnonzero(owner_u != owner_v)
    rows = np.concatenate([np.arange(u.size), crossing])
    destination = np.concatenate([owner_u, owner_v[crossing]])
    order = np.argsort(destination, kind="stable")
    rows, destination = rows[order], destination[order]
    cuts = np.searchsorted(destination, np.arange(owners.count + 1))
    return [np.stack([u[rows[a:b]], v[rows[a:b]]]) for a, b in zip(cuts[:-1], cuts[1:])]


def _build(index: int, owners: _Owners, *buckets: NDArray[np.int64]) -> _Part:
    """The partition's graph, added bucket by bucket (in input order, as
    from_arrays would add them all): no copy of all its edges at once."""
    graph = IntGraphCore()
    for bucket in buckets:
        graph.add_edges_flat(bucket.T.ravel())
    return _Part(index, owners, graph)


def _node_count(part: _Part) -> int:
    """The number of owned nodes."""
    with part.lock:
        ids = node_array(part.graph)
    return int(np.count_nonzero(part.owners(ids) == part.index))


def _edge_count(part: _Part) -> tuple[int, int]:
    """(edges with both ends owned, edges with one end owned)."""
    with part.lock:
        edges = edge_array(part.graph)
    owned_ends = (part.owners(edges[:, 0]) == part.index).astype(np.int8)
    owned_ends += part.owners(edges[:, 1]) == part.index
    return int(np.count_nonzero(owned_ends == 2)), int(np.count_nonzero(owned_ends == 1))


class DaskGraph:
    """An undirected graph partitioned by node over a Dask cluster: one
    ``IntGraphCore`` per partition, each held by a worker as the result of
    one of ``futures``. Made by ``from_dataframe``, ``read_parquet`` or
    ``read_edgelists``; the building goes on in the cluster after they
    return (``distributed.wait(graph.futures)`` waits for it,
    ``distributed.progress(graph.futures)`` shows it).

    A worker lost with its partitions is survived as Dask survives it: the
    lost partitions are rebuilt from their sources (the input files or the
    DataFrame's own graph) when a computation needs them.

    ``release()`` (or leaving a ``with`` block) frees the partitions.

    Example::

        graph = arborvane.dask.read_parquet("edges/", "src", "dst", partitions=8)
        print(graph.number_of_nodes(), graph.number_of_edges())
    """

    def __init__(self, client: distributed.Client, futures: list[distributed.Future[Any]], owners: _Owners) -> None:
        self.client = client
        self.futures = futures
        self._owners = owners

    @property
    def partitions(self) -> int:
        """The number of partitions."""
        return self._owners.count

    def _each(self, name: str, function: Callable[[_Part], Any]) -> list[Any]:
        """function(partition) on every partition, gathered."""
        futures = self.client.map(function, self.futures, key=_keys(name, self.partitions))
        results: list[Any] = self.client.gather(futures)
        return results

    def number_of_nodes(self) -> int:
        """The number of nodes: every node that is an end of an edge."""
        return sum(self._each("nodes", _node_count))

    def number_of_edges(self) -> int:
        """The number of distinct edges (a self-loop counts once)."""
        counts = self._each("edges", _edge_count)
        return sum(c[0] for c in counts) + sum(c[1] for c in counts) // 2

    def release(self) -> None:
        """Let the workers free the partitions (once no pending result needs
        them); the graph is unusable afterwards."""
        for future in self.futures:
            future.release()
        self.futures = []

    def __enter__(self) -> DaskGraph:
        return self

    def __exit__(self, *exc: object) -> None:
        self.release()

    def __repr__(self) -> str:
        return f"DaskGraph(partitions={self.partitions})"


def _keys(name: str, count: int, *prefix: int) -> list[tuple[str, ...] | Any]:
    """Task keys for one step on every partition: the dashboard groups them
    under ``arborvane-NAME``."""
    token = f"arborvane-{name}-{uuid.uuid4().hex}"
    return [(token, *prefix, p) for p in range(count)]


def _owners_for(partitions: int | Sequence[int] | ArrayLike | None, client: distributed.Client) -> _Owners:
    if partitions is None:
        return _Owners(max(1, len(client.scheduler_info().get("workers", {}))))
    if isinstance(partitions, (int, np.integer)) and not isinstance(partitions, bool):
        if partitions < 1:
            raise ValueError(f"arborvane.dask: partitions must be at least 1, got {partitions}")
        return _Owners(int(partitions))
    if isinstance(partitions, (str, bytes, bool)):
        raise TypeError(
            f"arborvane.dask: partitions must be a count or a sequence of boundaries, not {type(partitions).__name__}"
        )
    boundaries = _id_array(partitions, "partitions", "arborvane.dask")
    if np.any(np.diff(boundaries) <= 0):
        raise ValueError("arborvane.dask: partition boundaries must be strictly increasing")
    return _Owners(boundaries.size + 1, boundaries)


def from_dataframe(
    df: dd.DataFrame,
    source: str = "source",
    target: str = "target",
    *,
    partitions: int | Sequence[int] | None = None,
    client: distributed.Client | None = None,
) -> DaskGraph:
    """A ``DaskGraph`` with an edge per row of the Dask DataFrame ``df``,
    between the ids in its columns ``source`` and ``target`` (integer dtypes
    that convert safely to int64; parallel and reversed edges are stored
    once, self-loops allowed).

    ``partitions``: a count (nodes owned by a hash of their id; default one
    partition per worker) or a sorted sequence of k boundaries giving k + 1
    ranges of ids (partition i owns ids from ``boundaries[i - 1]`` up to,
    not including, ``boundaries[i]``): ranges keep neighbouring ids together,
    which pays when edges mostly join nearby ids. ``client``: the Dask client
    to use, by default ``distributed.default_client()``.

    Returns at once; the workers read and sort the edges by owner meanwhile.
    Raises KeyError naming a missing column; a column of another dtype
    raises TypeError in the computation that first needs the partitions.

    Example::

        df = dask.dataframe.read_csv("edges-*.csv")
        graph = arborvane.dask.from_dataframe(df, "u", "v", partitions=16)
    """
    client = client or distributed.default_client()
    for name in (source, target):
        if name not in df.columns:
            raise KeyError(f"arborvane.dask: the DataFrame has no column {name!r}")
    inputs = client.compute(df[[source, target]].to_delayed())
    return _partitioned(client, inputs, partitions, source, target)


def _partitioned(
    client: distributed.Client,
    inputs: list[distributed.Future[Any]],
    partitions: int | Sequence[int] | None,
    source: str | None = None,
    target: str | None = None,
) -> DaskGraph:
    """A DaskGraph from input partitions: the futures of pandas DataFrames
    (with `source` and `target`) or of (k, 2) edge arrays."""
    owners = _owners_for(partitions, client)
    splits = [
        client.submit(_split, data, owners, source, target, key=key)
        for data, key in zip(inputs, _keys("split", len(inputs)))
    ]
    bucket_keys = _keys("bucket", owners.count * len(splits))
    buckets = [
        [
            client.submit(operator.getitem, split, p, key=bucket_keys[i * owners.count + p])
            for i, split in enumerate(splits)
        ]
        for p in range(owners.count)
    ]
    # Partitions go round the workers, so that each holds its share; the
    # restriction is loose, so a lost partition is rebuilt elsewhere.
    workers = sorted(client.scheduler_info().get("workers", {})) or [None]
    keys = _keys("build", owners.count)
    futures = [
        client.submit(
            _build, p, owners, *buckets[p], key=keys[p], workers=workers[p % len(workers)], allow_other_workers=True
        )
        for p in range(owners.count)
    ]
    return DaskGraph(client, futures, owners)


def read_parquet(
    path: str | Sequence[str],
    source: str = "source",
    target: str = "target",
    *,
    partitions: int | Sequence[int] | None = None,
    client: distributed.Client | None = None,
) -> DaskGraph:
    """A ``DaskGraph`` from the Parquet file(s) or directory at ``path``
    (anything ``dask.dataframe.read_parquet`` reads, remote stores too),
    reading only the columns ``source`` and ``target``. The other parameters
    are those of ``from_dataframe``.

    Example::

        graph = arborvane.dask.read_parquet("s3://bucket/edges/", "src", "dst")
    """
    import dask.dataframe as dd

    df = dd.read_parquet(path, columns=[source, target])
    return from_dataframe(df, source, target, partitions=partitions, client=client)


def _edge_file(path: str) -> NDArray[np.int64]:
    return np.asarray(read_edge_list(path).flat, dtype=np.int64).reshape(-1, 2)


def read_edgelists(
    path: str | os.PathLike[str] | Iterable[str | os.PathLike[str]],
    *,
    partitions: int | Sequence[int] | None = None,
    client: distributed.Client | None = None,
) -> DaskGraph:
    """A ``DaskGraph`` from edge-list text files (the format of
    ``arborvane.read_edgelist``, ``.gz``/``.bz2``/``.xz`` too), one input
    partition per file: ``path`` is a directory (every file in it), a glob
    pattern or a list of paths. The workers read the files, so the paths
    must name the same files on every worker. Other parameters as
    ``from_dataframe``. A bad file raises ``arborvane.edgelist.EdgeListError``
    naming it and its line when the partitions are first needed; no file at
    all raises FileNotFoundError at once.

    Example::

        graph = arborvane.dask.read_edgelists("/shared/edges/*.txt.gz")
    """
    if isinstance(path, (str, os.PathLike)):
        name = os.fspath(path)
        if os.path.isdir(name):
            files = sorted(e.path for e in os.scandir(name) if e.is_file() and not e.name.startswith("."))
        else:
            files = sorted(glob.glob(name))
    else:
        files = [os.fspath(p) for p in path]
    if not files:
        raise FileNotFoundError(f"arborvane.dask: no edge-list file at {path!r}")
    client = client or distributed.default_client()
    inputs = client.map(_edge_file, files, key=[(f"arborvane-read-{uuid.uuid4().hex}", i) for i in range(len(files))])
    return _partitioned(client, inputs, partitions)


def _frame(ids: NDArray[np.int64], column: str, values: NDArray[Any]) -> pd.DataFrame:
    import pandas as pd

    return pd.DataFrame({"node": ids, column: values})


def _result(futures: list[distributed.Future[Any]], column: str, dtype: Any) -> dd.DataFrame:
    import dask.dataframe as dd

    meta = _frame(np.empty(0, np.int64), column, np.empty(0, dtype))
    return dd.from_delayed(futures, meta=meta, verify_meta=False)


def _degree_frame(part: _Part) -> pd.DataFrame:
    with part.lock:
        ids = node_array(part.graph)
        values = degree_array(part.graph)
    owned = part.owners(ids) == part.index
    return _frame(ids[owned], "degree", values[owned])


def degrees(graph: DaskGraph) -> dd.DataFrame:
    """A Dask DataFrame with columns ``node`` and ``degree`` (int64), one
    row per node, as ``arborvane.degree_array`` counts them (a self-loop
    adds 1). Rows come partition by partition, in no particular order.
    Nothing moves between workers.

    Example::

        arborvane.dask.degrees(graph).nlargest(10, "degree").compute()
    """
    futures = graph.client.map(_degree_frame, graph.futures, key=_keys("degrees", graph.partitions))
    return _result(futures, "degree", np.int64)


# ---- PageRank ---------------------------------------------------------------


class _Scores(NamedTuple):
    """One partition's scores after an iteration: the owned nodes' scores,
    their shares (damping * score / degree) and the L1 change."""

    rank: NDArray[np.float64]
    share: NDArray[np.float64]
    change: float


def _share(layout: _Layout, rank: NDArray[np.float64], damping: float) -> NDArray[np.float64]:
    # Every owned node has a neighbour (it came from an edge), so no
    # degree is zero; the guard keeps that an assumption, not a division.
    return np.divide(damping * rank, layout.degrees, out=np.zeros_like(rank), where=layout.degrees != 0)


def _rank_start(layout: _Layout, n: int, damping: float) -> _Scores:
    rank = np.full(layout.owned.size, 1.0 / n if n else 0.0)
    return _Scores(rank, _share(layout, rank, damping), float("nan"))


def _rank_step(
    layout: _Layout, scores: _Scores, damping: float, teleport: float, senders: list[int], *inbox: Any
) -> _Scores:
    """One iteration on one partition: the owned nodes' new scores from the
    previous shares of their neighbours, owned ones and ghosts."""
    shares = np.zeros(layout.ids.size)
    shares[layout.owned] = scores.share
    for q, piece in zip(senders, inbox):
        shares[layout.receive[q]] = piece
    rank = layout.gather_sum(shares)
    rank += teleport
    change = float(np.abs(scores.rank - rank).sum())
    return _Scores(rank, _share(layout, rank, damping), change)


def _shares_for(layout: _Layout, scores: _Scores, q: int) -> NDArray[np.float64]:
    return scores.share[layout.send[q]]


def _change(scores: _Scores) -> float:
    return scores.change


def _rank_frame(layout: _Layout, scores: _Scores) -> pd.DataFrame:
    return _frame(layout.ids[layout.owned], "pagerank", scores.rank)


def _boundary(layout: _Layout) -> tuple[int, dict[int, int]]:
    """The number of owned nodes, and for every partition q that holds
    ghosts of this one, how many."""
    return int(layout.owned.size), {q: int(s.size) for q, s in layout.send.items()}


class PageRank(NamedTuple):
    """The result of ``pagerank``: ``scores``, a Dask DataFrame with columns
    ``node`` (int64) and ``pagerank`` (float64); ``iterations``, the number of
    iterations run; ``bytes_per_iteration``, the share payload sent between
    partitions in each iteration (8 bytes per node and partition that holds
    it as a ghost)."""

    scores: dd.DataFrame
    iterations: int
    bytes_per_iteration: int


def pagerank(
    graph: DaskGraph,
    damping: float = 0.85,
    max_iter: int = 100,
    tol: float = 1e-06,
    *,
    callback: Callable[[int, float], None] | None = None,
) -> PageRank:
    """PageRank of every node of ``graph`` by power iteration, as
    ``arborvane.pagerank_array`` defines it: undirected, every node starts at
    1/n, a node passes ``damping * score / degree`` to each neighbour and gets
    ``(1 - damping) / n`` besides; the loop stops after the first iteration
    whose L1 change is below ``tol``, or after ``max_iter`` iterations. The
    scores equal the single-process ones to about 1e-15 (the sums run in
    another order), and so does the number of iterations.

    Each iteration is one task per partition (``arborvane-pagerank``) plus,
    for each pair of partitions that share nodes, a task that picks out the
    shares the other needs (``arborvane-shares``): only those move, never
    the whole score vector. The client receives one float per partition per
    iteration (the L1 changes) and keeps at most two iterations in flight.
    ``callback(iteration, change)``, if given, is called on the client after
    every iteration. Ctrl-C (or any exception, from the callback too)
    cancels the work in the cluster before it propagates.

    Returns a ``PageRank`` (scores, iterations, bytes per iteration).
    Raises ValueError for a negative ``max_iter``.

    Example::

        result = arborvane.dask.pagerank(graph, tol=1e-10)
        result.scores.to_parquet("pagerank/")
    """
    damping = float(damping)
    tol = float(tol)
    max_iter = operator.index(max_iter)
    if max_iter < 0:
        raise ValueError(f"arborvane.dask.pagerank(): max_iter must not be negative, got {max_iter}")
    with _Run(graph) as run:
        n = run.nodes
        if n == 0:
            max_iter = 0
        teleport = (1.0 - damping) / n if n else 0.0
        scores = run.each("pagerank-start", _rank_start, run.layouts, n, damping)
        ahead = _rank_iteration(run, 1, scores, damping, teleport) if max_iter else None
        iterations = 0
        while ahead is not None:
            scores, changes = ahead
            iterations += 1
            # The next iteration goes out before this one's change is known:
            # the workers never wait for the client's round trip.
            ahead = _rank_iteration(run, iterations + 1, scores, damping, teleport) if iterations < max_iter else None
            run.live = [*scores, *(ahead[0] if ahead else [])]
            change = sum(run.client.gather(changes))
            if callback is not None:
                callback(iterations, change)
            if change < tol:
                break
        if ahead is not None:
            run.client.cancel(ahead[0])
        frames = run.each("pagerank-result", _rank_frame, run.layouts, scores)
        return PageRank(_result(frames, "pagerank", np.float64), iterations, run.bytes_per_exchange)


def _rank_iteration(
    run: _Run, k: int, previous: list[distributed.Future[Any]], damping: float, teleport: float
) -> tuple[list[distributed.Future[Any]], list[distributed.Future[Any]]]:
    """Submits iteration k: the new scores and the L1 changes, per partition."""
    inboxes = run.exchange("shares", k, _shares_for, previous)
    scores = [
        run.submit(_rank_step, run.layouts[p], previous[p], damping, teleport, run.senders[p], *inboxes[p],
                   key=(f"arborvane-pagerank-{run.token}", k, p))
        for p in range(run.count)
    ]
    changes = [run.submit(_change, s, key=(f"arborvane-change-{run.token}", k, p)) for p, s in enumerate(scores)]
    return scores, changes


class _Run:
    """One analytic's run over a graph's partitions: submits named tasks,
    lays out the partitions' boundaries, and cancels what is still live in
    the cluster when the run ends by an exception (Ctrl-C included).

    Only the latest iteration's futures are held (`live`): earlier ones are
    released as soon as their successors have used them."""

    def __init__(self, graph: DaskGraph) -> None:
        self.client = graph.client
        self.parts = graph.futures
        self.count = graph.partitions
        self.token = uuid.uuid4().hex
        self.live: list[distributed.Future[Any]] = []
        self.plans: list[distributed.Future[Any]] = []  # per-analytic plans, if not the layouts

    def __enter__(self) -> _Run:
        try:
            self.layouts = self.each("layout", _Layout, self.parts)
            counts = self.client.gather(self.each("boundary", _boundary, self.layouts))
        except BaseException:
            self.client.cancel(self.live)
            raise
        self.nodes = sum(c[0] for c in counts)
        boundaries: list[dict[int, int]] = [c[1] for c in counts]
        # senders[p]: the partitions that own ghosts of p, ascending: what
        # they send reaches p in this order.
        self.boundaries = boundaries
        self.senders = [[q for q in range(self.count) if p in boundaries[q]] for p in range(self.count)]
        self.bytes_per_exchange = 8 * sum(sum(b.values()) for b in boundaries)
        return self

    def __exit__(self, kind: object, *exc: object) -> None:
        if kind is not None:
            self.client.cancel([*self.layouts, *self.live])

    def submit(self, function: Callable[..., Any], *args: Any, key: Any) -> distributed.Future[Any]:
        future: distributed.Future[Any] = self.client.submit(function, *args, key=key, pure=False)
        return future

    def each(self, name: str, function: Callable[..., Any], *columns: Any) -> list[distributed.Future[Any]]:
        """function(column[0][p], column[1][p], ...) on every partition p; a
        column that is not a list is passed whole to every call."""
        keys = _keys(name, self.count)
        futures = [
            self.submit(function, *(c[p] if isinstance(c, list) else c for c in columns), key=keys[p])
            for p in range(self.count)
        ]
        self.live = [*self.live, *futures]
        return futures

    def exchange(
        self, name: str, k: int, pick: Callable[..., Any], state: list[distributed.Future[Any]]
    ) -> list[list[Any]]:
        """pick(plan of p, state of p, q) for every q that holds ghosts of p;
        the result's list p holds what reaches p, in senders[p] order."""
        inboxes: list[list[Any]] = [[] for _ in range(self.count)]
        plans = self.plans or self.layouts
        for q in range(self.count):
            for p in self.senders[q]:
                key = (f"arborvane-{name}-{self.token}", k, p, q)
                inboxes[q].append(self.submit(pick, plans[p], state[p], q, key=key))
        return inboxes


# ---- connected components ---------------------------------------------------


class _ComponentLayout:
    """A partition's local components and, for every other partition q,
    the local positions of the nodes it shares with q (owned nodes that are
    ghosts there and ghosts that q owns), sorted by node id."""

    def __init__(self, part: _Part, layout: _Layout) -> None:
        with part.lock:
            _, local = _component_labels(part.graph)
            _drop_snapshot(part.graph)
        self.ids = layout.ids
        self.owned = layout.owned
        self.order = np.argsort(local, kind="stable")
        self.starts = np.searchsorted(local[self.order], np.arange(int(local.max(initial=-1)) + 1))
        self.component = local
        self.shared: dict[int, NDArray[np.intp]] = {}
        for q in layout.send:
            both = np.concatenate([layout.owned[layout.send[q]], layout.receive[q]])
            self.shared[q] = both[np.argsort(self.ids[both], kind="stable")]

    def __sizeof__(self) -> int:
        return sum(a.nbytes for a in [self.order, self.starts, self.component, *self.shared.values()]) + 64


class _Labels(NamedTuple):
    labels: NDArray[np.int64]
    changed: bool


def _spread(plan: _ComponentLayout, labels: NDArray[np.int64]) -> NDArray[np.int64]:
    """Every local node takes the smallest label in its local component."""
    if labels.size == 0:
        return labels
    smallest = np.minimum.reduceat(labels[plan.order], plan.starts)
    result: NDArray[np.int64] = smallest[plan.component]
    return result


def _label_start(plan: _ComponentLayout) -> _Labels:
    return _Labels(_spread(plan, plan.ids.copy()), True)


def _label_step(plan: _ComponentLayout, labels: _Labels, senders: list[int], *inbox: Any) -> _Labels:
    merged = labels.labels.copy()
    for q, piece in zip(senders, inbox):
        positions = plan.shared[q]
        merged[positions] = np.minimum(merged[positions], piece)
    spread = _spread(plan, merged)
    return _Labels(spread, bool(np.any(spread != labels.labels)))


def _labels_for(plan: _ComponentLayout, labels: _Labels, q: int) -> NDArray[np.int64]:
    return labels.labels[plan.shared[q]]


def _changed(labels: _Labels) -> bool:
    return labels.changed


def _label_frame(plan: _ComponentLayout, labels: _Labels) -> pd.DataFrame:
    return _frame(plan.ids[plan.owned], "component", labels.labels[plan.owned])


def component_labels(graph: DaskGraph) -> dd.DataFrame:
    """The connected component of every node: a Dask DataFrame with columns
    ``node`` and ``component`` (int64), where ``component`` is the smallest
    node id in the node's component (``arborvane.component_labels`` numbers
    the same components 0..k-1 instead).

    Each partition finds the components of its own graph with
    ``arborvane.component_labels``; then, round by round, partitions send
    each other the labels of the nodes they share (8 bytes per shared node
    and pair of partitions), and every local component takes the smallest
    label among its nodes, until a round changes nothing. The rounds number
    at most one more than the partition changes along a shortest path from
    each node to its component's smallest id: few on small-world graphs,
    but as many as the path's length on a long path cut into alternating
    partitions (range partitions keep such paths together).

    Example::

        labels = arborvane.dask.component_labels(graph)
        sizes = labels.groupby("component").size().compute()
    """
    with _Run(graph) as run:
        run.plans = run.each("components", _ComponentLayout, run.parts, run.layouts)
        labels = run.each("labels-start", _label_start, run.plans)
        rounds = 0
        while True:
            rounds += 1
            inboxes = run.exchange("labels", rounds, _labels_for, labels)
            labels = [
                run.submit(_label_step, run.plans[p], labels[p], run.senders[p], *inboxes[p],
                           key=(f"arborvane-components-{run.token}", rounds, p))
                for p in range(run.count)
            ]
            run.live = [*run.plans, *labels]
            changed = [
                run.submit(_changed, s, key=(f"arborvane-changed-{run.token}", rounds, p)) for p, s in enumerate(labels)
            ]
            if not any(run.client.gather(changed)):
                break
        frames = run.each("components-result", _label_frame, run.plans, labels)
        return _result(frames, "component", np.int64)
