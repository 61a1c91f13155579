"""Graphs partitioned by node over a Dask cluster.

A graph too large for one process (arborvane holds about 27 bytes per edge,
about 70 at its peak) or already stored as many Parquet or edge-list files
is split by node into partitions, each held in the memory of one Dask
worker as read-only compressed sparse rows (about 4 bytes per neighbour
entry).
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
import uuid
import warnings
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

from arborvane._native import arrays as _native
from arborvane.arrays import _id_array
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

# Sections of a partition's edges mapped to local indices at a time: the
# int64 temporaries stay 8 MiB whatever the partition's size.
_MAP_ENTRIES = 1 << 20


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
    """One partition on a worker, read-only once built: the rows of its
    owned nodes as compressed sparse rows over local indices, and what it
    exchanges with the other partitions.

    Local indices number the owned nodes first, then the ghosts, each group
    by ascending id (``ids``). ``indptr`` has a row for every local node,
    the ghosts' rows empty, so that the rows are a valid CSR over all local
    nodes; ``indices`` (int32 while the local nodes fit) lists each owned
    row's neighbours, a parallel or reversed edge once. For every other
    partition q, both sides agree on the order of what they exchange
    without asking each other, by ascending id:

    - send[q]: the owned nodes with a neighbour owned by q (q holds them as
      ghosts);
    - receive[q]: the local indices of the ghosts that q owns.

    About 4 bytes per stored neighbour entry (an edge inside the partition
    has two, one between partitions one on each side) and 16 per local
    node; it pickles as its arrays."""

    def __init__(self, index: int, owners: _Owners, ids: NDArray[np.int64], owned: int,
                 indptr: NDArray[np.int64], indices: NDArray[Any]) -> None:
        self.index = index
        self.owners = owners
        self.ids = ids
        self.owned = owned
        self.indptr = indptr
        self.indices = indices
        self.degrees = np.diff(indptr[: owned + 1]).astype(np.float64)
        ghost_owner = owners(ids[owned:])
        crossing = np.flatnonzero(indices >= owned)
        rows = np.searchsorted(indptr, crossing, side="right") - 1
        column_owner = ghost_owner[indices[crossing] - owned]
        self.send: dict[int, NDArray[np.intp]] = {}
        self.receive: dict[int, NDArray[np.intp]] = {}
        for q in _unique(column_owner).tolist():
            self.send[q] = _unique(rows[column_owner == q])
            self.receive[q] = owned + np.flatnonzero(ghost_owner == q)
        self.crossing = int(crossing.size)

    def __sizeof__(self) -> int:
        arrays = [self.ids, self.indptr, self.indices, self.degrees, *self.send.values(), *self.receive.values()]
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
    """The partition from the (2, k) edge buckets that reach it. Beside the
    buckets (which Dask holds until this returns), the largest temporary
    is the sorting keys, 8 bytes per entry (16 per edge inside the
    partition); the partition keeps 4 bytes per entry."""
    ids = _distinct([b[i] for b in buckets for i in (0, 1)])
    home = owners(ids) == index
    order = np.concatenate([np.flatnonzero(home), np.flatnonzero(~home)])
    owned, n = int(np.count_nonzero(home)), ids.size
    del home
    small = np.int32 if n < 2**31 else np.int64
    local = np.empty(n, small)
    local[order] = np.arange(n, dtype=small)
    to_local = _local_index(ids, local)
    ids = ids[order]
    del order, local
    # row * n + column for every entry of an owned row (an edge with both
    # ends owned gives two, a self-loop one), mapped section by section
    # into room for two per edge (the pages never written cost nothing),
    # then sorted and made unique in place: no second array of them.
    key = np.empty(2 * sum(b.shape[1] for b in buckets), np.int64)
    at = 0
    for bucket in buckets:
        for a in range(0, bucket.shape[1], _MAP_ENTRIES):
            lu, lv = to_local(bucket[0, a : a + _MAP_ENTRIES]), to_local(bucket[1, a : a + _MAP_ENTRIES])
            for rows, columns, keep in ((lu, lv, lu < owned), (lv, lu, (lv < owned) & (lu != lv))):
                piece = rows[keep].astype(np.int64) * n + columns[keep]
                key[at : at + piece.size] = piece
                at += piece.size
    del to_local
    key.resize(at, refcheck=False)
    key.sort()
    at, last = 0, -1
    for a in range(0, key.size, _MAP_ENTRIES):
        section = key[a : a + _MAP_ENTRIES]
        fresh = np.empty(section.size, bool)
        fresh[0] = section[0] != last
        np.not_equal(section[1:], section[:-1], out=fresh[1:])
        last = int(section[-1])
        piece = section[fresh]  # a copy: writing it back below `a` is safe
        key[at : at + piece.size] = piece
        at += piece.size
    indptr = np.searchsorted(key[:at], np.arange(n + 1, dtype=np.int64) * n).astype(np.int64)
    # The columns overwrite the keys' buffer from its start (entry k's
    # column lands where keys up to k lay, already read), which then
    # shrinks to them in place.
    columns = key.view(small)
    for a in range(0, at, _MAP_ENTRIES):
        b = min(at, a + _MAP_ENTRIES)
        columns[a:b] = key[a:b] % n
    del columns
    key.resize(-(-at * np.dtype(small).itemsize // 8), refcheck=False)
    indices = key.view(small)[:at]
    return _Part(index, owners, ids, owned, indptr, indices)


def _distinct(pieces: list[NDArray[np.int64]]) -> NDArray[np.int64]:
    """The distinct ids in `pieces`, sorted: the pieces' own distinct ids
    are merged whenever they outnumber those merged so far, so that they
    never take much more memory than the result."""
    ids = np.empty(0, np.int64)
    pending: list[NDArray[np.int64]] = []
    waiting = 0
    for piece in pieces:
        pending.append(_unique(piece))
        waiting += pending[-1].size
        if waiting > max(ids.size, _MAP_ENTRIES):
            ids, pending, waiting = _unique(np.concatenate([ids, *pending])), [], 0
    return _unique(np.concatenate([ids, *pending]))


def _unique(values: NDArray[Any]) -> NDArray[Any]:
    """The distinct values, sorted: np.unique's result, by a plain sort
    (np.unique took 80 times longer for 1.5M int64 with numpy 2.4)."""
    values = np.sort(values)
    if values.size > 1:
        values = values[np.concatenate([[True], values[1:] != values[:-1]])]
    return values


def _local_index(ids: NDArray[np.int64], local: NDArray[Any]) -> Callable[[NDArray[np.int64]], NDArray[Any]]:
    """A function giving local[i] for the position i in the sorted `ids` of
    every id of a section: through a table by id where the ids are dense
    (up to 4 table slots per id, 5 times faster than the binary search
    otherwise)."""
    low = int(ids[0]) if ids.size else 0
    span = int(ids[-1]) - low + 1 if ids.size else 0
    if span > 4 * ids.size:
        return lambda section: local[np.searchsorted(ids, section)]
    table = np.empty(span, local.dtype)
    table[ids - low] = local
    return lambda section: table[section - low]


def _node_count(part: _Part) -> int:
    """The number of owned nodes."""
    return part.owned


def _edge_count(part: _Part) -> tuple[int, int]:
    """(edges with both ends owned, edges with one end owned)."""
    rows = np.repeat(np.arange(part.owned), np.diff(part.indptr[: part.owned + 1]))
    loops = int(np.count_nonzero(part.indices == rows))
    return (part.indices.size - part.crossing + loops) // 2, part.crossing


class DaskGraph:
    """An undirected graph partitioned by node over a Dask cluster: one
    partition (compressed sparse rows of its nodes' edges) per future of
    ``futures``, each held by a worker. Made by ``from_dataframe``, ``read_parquet`` or
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
    return _partitioned(client, _split, inputs, partitions, source, target)


def _partitioned(
    client: distributed.Client,
    split: Callable[..., list[NDArray[np.int64]]],
    inputs: list[Any],
    partitions: int | Sequence[int] | None,
    *columns: str,
) -> DaskGraph:
    """A DaskGraph from input partitions: split(input, owners, *columns)
    sorts one input's edges into the partitions (an input is the future of
    a pandas DataFrame, or an edge-list file's path)."""
    owners = _owners_for(partitions, client)
    _warn_if_stealing(client)
    splits = [
        client.submit(split, data, owners, *columns, key=key) for data, key in zip(inputs, _keys("split", len(inputs)))
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


def _warn_if_stealing(client: distributed.Client) -> None:
    """Warns when the scheduler steals work: it would move a partition's
    task, and with it a copy of the partition, to an idle worker, which
    doubles that partition's memory for no speed (see docs/dask.md)."""
    # A lambda travels by value: the scheduler needs no arborvane.
    if client.run_on_scheduler(lambda dask_scheduler: "stealing" in dask_scheduler.extensions):
        warnings.warn(
            "arborvane.dask: the Dask scheduler steals work, which copies partitions between workers; "
            "start it with the setting distributed.scheduler.work-stealing: False",
            RuntimeWarning,
            stacklevel=4,
        )


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


def _split_file(path: str, owners: _Owners) -> list[NDArray[np.int64]]:
    """An edge-list file's edges sorted into the partitions: read and split
    in one task, so that a worker never holds a file's edges unsplit while
    it reads the next."""
    return _split(np.asarray(read_edge_list(path).flat, dtype=np.int64).reshape(-1, 2), owners)


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
    return _partitioned(client, _split_file, files, partitions)


def _frame(ids: NDArray[np.int64], column: str, values: NDArray[Any]) -> pd.DataFrame:
    import pandas as pd

    return pd.DataFrame({"node": ids, column: values})


def _result(futures: list[distributed.Future[Any]], column: str, dtype: Any) -> dd.DataFrame:
    import dask.dataframe as dd

    meta = _frame(np.empty(0, np.int64), column, np.empty(0, dtype))
    return dd.from_delayed(futures, meta=meta, verify_meta=False)


def _degree_frame(part: _Part) -> pd.DataFrame:
    return _frame(part.ids[: part.owned], "degree", np.diff(part.indptr[: part.owned + 1]))


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


def _share(part: _Part, rank: NDArray[np.float64], damping: float) -> NDArray[np.float64]:
    # Every owned node has a neighbour (it came from an edge), so no
    # degree is zero; the guard keeps that an assumption, not a division.
    return np.divide(damping * rank, part.degrees, out=np.zeros_like(rank), where=part.degrees != 0)


def _rank_start(part: _Part, n: int, damping: float) -> _Scores:
    rank = np.full(part.owned, 1.0 / n if n else 0.0)
    return _Scores(rank, _share(part, rank, damping), float("nan"))


def _rank_step(
    part: _Part, scores: _Scores, damping: float, teleport: float, senders: list[int], *inbox: Any
) -> _Scores:
    """One iteration on one partition: the owned nodes' new scores, the
    teleport term plus the previous shares of their neighbours (owned ones
    and ghosts) added natively row by row."""
    shares = np.empty(part.ids.size)
    shares[: part.owned] = scores.share
    for q, piece in zip(senders, inbox):
        shares[part.receive[q]] = piece
    rank = np.asarray(_native.csr_matvec(part.indptr, part.indices, None, shares, teleport))[: part.owned]
    change = float(np.abs(scores.rank - rank).sum())
    return _Scores(rank, _share(part, rank, damping), change)


def _shares_for(part: _Part, scores: _Scores, q: int) -> NDArray[np.float64]:
    return scores.share[part.send[q]]


def _change(scores: _Scores) -> float:
    return scores.change


def _rank_frame(part: _Part, scores: _Scores) -> pd.DataFrame:
    return _frame(part.ids[: part.owned], "pagerank", scores.rank)


def _boundary(part: _Part) -> tuple[int, dict[int, int]]:
    """The number of owned nodes, and for every partition q that holds
    ghosts of this one, how many."""
    return part.owned, {q: int(s.size) for q, s in part.send.items()}


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
        scores = run.each("pagerank-start", _rank_start, run.parts, n, damping)
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
        frames = run.each("pagerank-result", _rank_frame, run.parts, scores)
        return PageRank(_result(frames, "pagerank", np.float64), iterations, run.bytes_per_exchange)


def _rank_iteration(
    run: _Run, k: int, previous: list[distributed.Future[Any]], damping: float, teleport: float
) -> tuple[list[distributed.Future[Any]], list[distributed.Future[Any]]]:
    """Submits iteration k: the new scores and the L1 changes, per partition."""
    inboxes = run.exchange("shares", k, _shares_for, previous)
    scores = [
        run.submit(_rank_step, run.parts[p], previous[p], damping, teleport, run.senders[p], *inboxes[p],
                   key=(f"arborvane-pagerank-{run.token}", k, p), on=p)
        for p in range(run.count)
    ]
    changes = [run.submit(_change, s, key=(f"arborvane-change-{run.token}", k, p), on=p) for p, s in enumerate(scores)]
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
        self.plans: list[distributed.Future[Any]] = []  # per-analytic plans, if not the partitions
        self.holders: dict[int, list[str]] = {}  # partition -> the worker holding it

    def __enter__(self) -> _Run:
        try:
            counts = self.client.gather(self.each("boundary", _boundary, self.parts))
            who = self.client.who_has(self.parts)
            self.holders = {p: sorted(who[f.key])[:1] for p, f in enumerate(self.parts) if who.get(f.key)}
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
            self.client.cancel(self.live)

    def submit(self, function: Callable[..., Any], *args: Any, key: Any, on: int) -> distributed.Future[Any]:
        """function(*args) as a task on the worker that holds partition
        `on`: a loose restriction, so that the scheduler never moves the
        partition to a less busy worker, yet runs the task elsewhere
        once that worker is gone."""
        holder = self.holders.get(on)
        future: distributed.Future[Any] = self.client.submit(
            function, *args, key=key, pure=False, workers=holder, allow_other_workers=holder is not None
        )
        return future

    def each(self, name: str, function: Callable[..., Any], *columns: Any) -> list[distributed.Future[Any]]:
        """function(column[0][p], column[1][p], ...) on every partition p; a
        column that is not a list is passed whole to every call."""
        keys = _keys(name, self.count)
        futures = [
            self.submit(function, *(c[p] if isinstance(c, list) else c for c in columns), key=keys[p], on=p)
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
        plans = self.plans or self.parts
        for q in range(self.count):
            for p in self.senders[q]:
                key = (f"arborvane-{name}-{self.token}", k, p, q)
                inboxes[q].append(self.submit(pick, plans[p], state[p], q, key=key, on=p))
        return inboxes


# ---- connected components ---------------------------------------------------


class _ComponentLayout:
    """A partition's local components and, for every other partition q,
    the local positions of the nodes it shares with q (owned nodes that are
    ghosts there and ghosts that q owns), sorted by node id."""

    def __init__(self, part: _Part) -> None:
        local = np.asarray(_native.csr_components(part.indptr, part.indices, None, False))
        self.ids = part.ids
        self.owned = part.owned
        self.order = np.argsort(local, kind="stable")
        self.starts = np.searchsorted(local[self.order], np.arange(int(local.max(initial=-1)) + 1))
        self.component = local
        self.shared: dict[int, NDArray[np.intp]] = {}
        for q in part.send:
            both = np.concatenate([part.send[q], part.receive[q]])
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
    return _frame(plan.ids[: plan.owned], "component", labels.labels[: plan.owned])


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
        run.plans = run.each("components", _ComponentLayout, run.parts)
        labels = run.each("labels-start", _label_start, run.plans)
        rounds = 0
        while True:
            rounds += 1
            inboxes = run.exchange("labels", rounds, _labels_for, labels)
            labels = [
                run.submit(_label_step, run.plans[p], labels[p], run.senders[p], *inboxes[p],
                           key=(f"arborvane-components-{run.token}", rounds, p), on=p)
                for p in range(run.count)
            ]
            run.live = [*run.plans, *labels]
            changed = [
                run.submit(_changed, s, key=(f"arborvane-changed-{run.token}", rounds, p), on=p)
                for p, s in enumerate(labels)
            ]
            if not any(run.client.gather(changed)):
                break
        frames = run.each("components-result", _label_frame, run.plans, labels)
        return _result(frames, "component", np.int64)
