"""Graphs in files: edge-list text and arborvane's own binary format.

``read_edgelist`` / ``write_edgelist`` handle the usual text edge list (the
format ``arborvane stats`` reads; ``.gz``, ``.bz2`` and ``.xz`` compressed by
name). ``save`` / ``load`` handle the binary format: node ids, degrees and
sorted neighbour lists with a checksum, loaded several times faster than
text because every neighbour set is built from one contiguous run.

Writers never leave a half-written file at ``path``: they write a temporary
file beside it and rename it over ``path`` when complete, so an interrupted
write (an exception, Ctrl-C, a killed process) leaves any older file intact.
"""

from __future__ import annotations

import bz2
import gzip
import lzma
import os
import secrets
from contextlib import contextmanager
from typing import IO, TYPE_CHECKING, Iterator

import numpy as np

from arborvane._accel import IntGraphCore
from arborvane._native import arrays as _native
from arborvane.arrays import edge_array
from arborvane.edgelist import EdgeListReader

if TYPE_CHECKING:
    from _typeshed import StrPath

__all__ = ["read_edgelist", "write_edgelist", "save", "load"]

_LINES_PER_WRITE = 1 << 18  # edges formatted per native call: a few MiB of text
_HEADER_BYTES = 48  # the binary format's fixed header


def read_edgelist(path: StrPath) -> IntGraphCore:
    """A new IntGraphCore with the edges of the edge-list file at ``path``.

    Each line holds pairs of integer node ids separated by spaces, tabs or
    commas; blank lines and lines starting with ``#`` or ``%`` are skipped;
    ``.gz``, ``.bz2`` and ``.xz`` files are decompressed. Edges are added in
    file order, block by block, so memory stays at the graph plus a few 2 MiB
    blocks however the file is laid out.

    Parameters:
        path: The file to read (str or path-like).

    Returns:
        The new graph.

    Raises:
        arborvane.edgelist.EdgeListError: The file cannot be read or is not an
            edge list (a ValueError naming the file and the first bad line, as
            ``arborvane stats`` reports it).

    Complexity:
        O(file size); about 10 million edges per second of CPU time.

    Examples:
        >>> import arborvane, os, tempfile
        >>> path = os.path.join(tempfile.mkdtemp(), "g.txt")
        >>> with open(path, "w") as f:
        ...     _ = f.write("1 2 2 3 3 1")  # a line may hold several pairs
        >>> arborvane.read_edgelist(path)
        IntGraphCore(nodes=3, edges=3)
    """
    graph = IntGraphCore()
    for ids in EdgeListReader(os.fspath(path)).blocks():
        graph.add_edges_flat(ids)
    return graph


def write_edgelist(g: IntGraphCore, path: StrPath) -> None:
    """Write the edges of ``g`` to ``path``, one ``u v`` line per edge in ``g.edges()`` order.

    The file is compressed when its name ends in ``.gz``, ``.bz2`` or ``.xz``.
    Isolated nodes have no line: an edge list cannot hold them. The text is
    written to a temporary file beside ``path`` and renamed over it when
    complete, so an interrupted write leaves any older file intact.

    Parameters:
        g: The graph.
        path: The file to write (str or path-like); replaced if it exists.

    Raises:
        OSError: The file cannot be written.

    Complexity:
        O(n + m); the lines are formatted natively.

    Examples:
        >>> import arborvane, os, tempfile
        >>> g = arborvane.IntGraphCore()
        >>> g.add_edges_flat([1, 2, 2, 3])
        >>> path = os.path.join(tempfile.mkdtemp(), "g.txt.gz")
        >>> arborvane.write_edgelist(g, path)
        >>> sorted(arborvane.read_edgelist(path).edges())
        [(1, 2), (2, 3)]
    """
    path = os.fspath(path)
    pairs = edge_array(g).reshape(-1)
    with _replacing(path) as raw, _compressing(path, raw) as out:
        step = 2 * _LINES_PER_WRITE
        for start in range(0, pairs.size, step):
            out.write(_native.edge_lines(pairs[start : start + step]))


def save(g: IntGraphCore, path: StrPath) -> None:
    """Write ``g`` to ``path`` in arborvane's binary graph format.

    The format holds the node ids, degrees and sorted neighbour runs with
    checksums (the format is described in the documentation); ``load`` reads it several
    times faster than text. Like ``write_edgelist``, it replaces ``path`` only
    when the file is complete.

    Parameters:
        g: The graph.
        path: The file to write (str or path-like); replaced if it exists.

    Raises:
        OSError: The file cannot be written.
        RuntimeError: Another thread is changing ``g`` (the message names the
            call); reads of ``g`` run together.

    Complexity:
        O(n + m).

    Examples:
        >>> import arborvane, os, tempfile
        >>> g = arborvane.IntGraphCore()
        >>> g.add_edges_flat([1, 2, 2, 3])
        >>> path = os.path.join(tempfile.mkdtemp(), "g.avg")
        >>> arborvane.save(g, path)
        >>> arborvane.load(path)
        IntGraphCore(nodes=3, edges=2)
    """
    image = _native.graph_file_image(g)
    with _replacing(os.fspath(path)) as out:
        out.write(image)


def load(path: StrPath) -> IntGraphCore:
    """The graph saved at ``path`` by ``save``.

    The loaded graph has the saved nodes and edges; its node order is the saved
    one as far as the hash map allows, and the same on every load. Everything is
    checked before a graph is returned: magic, version, sizes, checksums, index
    ranges, ascending runs, distinct ids and symmetry.

    Parameters:
        path: The file to read (str or path-like).

    Returns:
        The new graph.

    Raises:
        ValueError: The file is not a graph file, has another format version,
            is truncated or is corrupted; the message names the file and says
            which (for example ``g.avg: corrupted: checksum mismatch``).
        OSError: The file cannot be read.

    Complexity:
        O(n + m); each neighbour set is filled from its own run, without a hash
        look-up per edge.

    Examples:
        >>> import arborvane, os, tempfile
        >>> path = os.path.join(tempfile.mkdtemp(), "g.avg")
        >>> arborvane.save(arborvane.from_arrays([1, 2], [2, 3]), path)
        >>> sorted(arborvane.load(path).nodes())
        [1, 2, 3]
    """
    path = os.fspath(path)
    with open(path, "rb") as handle:
        head = handle.read(_HEADER_BYTES)
        try:
            expected = _native.graph_file_size(head)
        except ValueError as exc:
            raise ValueError(f"{path}: {exc}") from None
        # One byte more than announced, so that trailing data is noticed.
        size = min(os.fstat(handle.fileno()).st_size, expected + 1)
        image = np.empty(max(size, len(head)), dtype=np.uint8)
        image[: len(head)] = np.frombuffer(head, dtype=np.uint8)
        filled = len(head) + _read_into(handle, image.data[len(head) :])
    try:
        graph: IntGraphCore = _native.graph_from_file_image(image[:filled])
    except ValueError as exc:
        raise ValueError(f"{path}: {exc}") from None
    return graph


def _read_into(handle: IO[bytes], view: memoryview) -> int:
    """Fill `view` from `handle` until either ends; returns the bytes read."""
    done = 0
    while done < len(view):
        count = handle.readinto(view[done:])  # type: ignore[attr-defined]
        if not count:
            break
        done += count
    return done


@contextmanager
def _replacing(path: str) -> Iterator[IO[bytes]]:
    """A binary file to write that replaces `path` only when complete."""
    directory, name = os.path.split(os.path.abspath(path))
    temporary = os.path.join(directory, f".{name}.{secrets.token_hex(6)}.tmp")
    fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
    try:
        with open(fd, "wb") as handle:
            yield handle
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise


@contextmanager
def _compressing(path: str, raw: IO[bytes]) -> Iterator[IO[bytes]]:
    """`raw` itself, or a compressor writing into it, chosen by `path`'s name."""
    lower = path.lower()
    if lower.endswith(".gz"):
        name = os.path.basename(path)[:-3]
        with gzip.GzipFile(filename=name, mode="wb", fileobj=raw, compresslevel=6, mtime=0) as out:
            yield out  # type: ignore[misc]
    elif lower.endswith(".bz2"):
        with bz2.BZ2File(raw, "wb") as out:
            yield out
    elif lower.endswith(".xz"):
        with lzma.LZMAFile(raw, "wb") as out:
            yield out
    else:
        yield raw
