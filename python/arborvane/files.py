"""Graphs in files: edge-list text and arborvane's own binary format.

``read_edgelist`` / ``write_edgelist`` handle the usual text edge list (the
format ``arborvane stats`` reads; ``.gz``, ``.bz2`` and ``.xz`` compressed by
name). ``save`` / ``load`` handle the binary format: node ids, degrees and
sorted neighbour lists with a checksum, loaded several times faster than
text because every neighbour set is built from one contiguous run.

Writers never leave a half-written file at ``path``: a regular file is
replaced atomically once the new content is complete (written first to an
unnamed file on Linux, to a hidden one beside it elsewhere), so an
interrupted write (an exception, Ctrl-C, a killed process) leaves the older
file intact and nothing else. A hidden file that a killed process could not
remove (killed between naming it and the rename, or while writing where
unnamed files are unavailable) is removed by the next write to ``path``.
FIFOs, devices and open descriptors named through /dev/fd are written to
directly. See docs/files-and-safety.md.
"""

from __future__ import annotations

import bz2
import errno
import gzip
import lzma
import os
import secrets
import stat
import sys
from contextlib import contextmanager
from typing import IO, TYPE_CHECKING, Iterator

import numpy as np

from arborvane._accel import IntGraphCore
from arborvane._native import arrays as _native
from arborvane.arrays import edge_array
from arborvane.edgelist import EdgeListReader

if TYPE_CHECKING:
    from _typeshed import StrOrBytesPath

if sys.platform != "win32":
    import fcntl

__all__ = ["read_edgelist", "write_edgelist", "save", "load"]

_LINES_PER_WRITE = 1 << 18  # edges formatted per native call: a few MiB of text
# Bytes handed to the file (or compressor) per write, so that Ctrl-C is
# seen between two writes. xz at its default preset takes about 4.3 us of
# CPU per byte of edge-list text (measured on this 2-core machine: 280 ms
# per 64 KiB), so 8 KiB costs about 35 ms; plain and gzip writes do not
# notice the smaller pieces.
_WRITE_PIECE = 1 << 13
# bz2 sorts whole blocks of 100 kB times its level in one go that no write
# size splits: at level 9 that took 75 ms of CPU, at level 3 about 22 ms,
# and the file grows by about 1% against level 9.
_BZ2_LEVEL = 3
_HEADER_BYTES = 48  # the binary format's fixed header
# Bytes per read of a load (and per write of a save): about 1 ms from the
# page cache, still under 0.1 s on this loaded 2-core machine (16 MiB took
# up to 0.1 s there), then Ctrl-C may act.
_READ_PIECE = 1 << 22
_MAX_LINKS = 40  # symbolic links followed, as the kernel does
_DESCRIPTOR_DIRECTORIES = ("/proc/", "/dev/fd/")
# Unnamed temporary files (O_TMPFILE) that can be named once complete.
_DESCRIPTOR_TABLE = "/proc/self/fd"
_UNNAMED_FILES = hasattr(os, "O_TMPFILE") and os.link in os.supports_dir_fd and os.path.isdir(_DESCRIPTOR_TABLE)
# A writer holds an flock on its new file until that file is renamed over the
# target, so a hidden file of ours that nobody holds is a dead writer's.
# Windows has no such locks: leftovers are kept there.
_LOCKS = sys.platform != "win32"
_HIDDEN_SUFFIX = ".tmp"
_HIDDEN_HEX = 12  # hex digits of a hidden name's random part


def read_edgelist(path: StrOrBytesPath) -> IntGraphCore:
    """A new IntGraphCore with the edges of the edge-list file at ``path``.

    Each line holds pairs of integer node ids separated by spaces, tabs or
    commas; blank lines and lines starting with ``#`` or ``%`` are skipped;
    ``.gz``, ``.bz2`` and ``.xz`` files are decompressed. Edges are added in
    file order, block by block, so memory stays at the graph plus a few 2 MiB
    blocks however the file is laid out.

    Parameters:
        path: The file to read (str, bytes or path-like); a FIFO or device is
            read as a stream.

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
    for ids in EdgeListReader(_path(path)).blocks():
        graph.add_edges_flat(ids)
    return graph


def write_edgelist(g: IntGraphCore, path: StrOrBytesPath) -> None:
    """Write the edges of ``g`` to ``path``, one ``u v`` line per edge in ``g.edges()`` order.

    The file is compressed when its name ends in ``.gz``, ``.bz2`` or ``.xz``.
    Isolated nodes have no line: an edge list cannot hold them. A regular file
    (also one reached through symbolic links, which stay) is replaced
    atomically once the text is complete, keeping its permission bits, so an
    interrupted write leaves any older file intact and no temporary file; a
    FIFO, a device or ``/dev/stdout`` is written to directly
    (see the page on files and safety).

    Parameters:
        g: The graph.
        path: The file to write (str, bytes or path-like).

    Raises:
        OSError: The file cannot be written (naming ``path``).

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
    name = _path(path)
    pairs = edge_array(g).reshape(-1)
    with _writing(name) as raw, _compressing(name, raw) as out:
        step = 2 * _LINES_PER_WRITE
        for start in range(0, pairs.size, step):
            text = memoryview(_native.edge_lines(pairs[start : start + step]))
            # In pieces, so that Ctrl-C is seen between two of them even
            # when a slow compressor takes them.
            for at in range(0, len(text), _WRITE_PIECE):
                out.write(text[at : at + _WRITE_PIECE])


def save(g: IntGraphCore, path: StrOrBytesPath) -> None:
    """Write ``g`` to ``path`` in arborvane's binary graph format.

    The format holds the node ids, degrees and sorted neighbour runs with
    checksums (the format is described in the documentation); ``load`` reads it several
    times faster than text. It writes ``path`` as ``write_edgelist`` does: a
    regular file replaced atomically when complete, a FIFO or device directly.

    Parameters:
        g: The graph.
        path: The file to write (str, bytes or path-like).

    Raises:
        OSError: The file cannot be written (naming ``path``).
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
    name = _path(path)
    image = memoryview(_native.graph_file_image(g))
    with _writing(name) as out:
        for at in range(0, len(image), _READ_PIECE):
            out.write(image[at : at + _READ_PIECE])


def load(path: StrOrBytesPath) -> IntGraphCore:
    """The graph saved at ``path`` by ``save``.

    The loaded graph has the saved nodes and edges; its node order is the saved
    one as far as the hash map allows, and the same on every load. Everything is
    checked before a graph is returned: magic, version, sizes, checksums, index
    ranges, ascending runs, distinct ids and symmetry.

    Parameters:
        path: The file to read (str, bytes or path-like); a pipe or FIFO is
            read as a stream.

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
    name = _path(path)
    with open(name, "rb") as handle:
        head = handle.read(_HEADER_BYTES)
        try:
            expected = _native.graph_file_size(head)
        except ValueError as exc:
            raise ValueError(f"{name}: {exc}") from None
        # One byte more than announced, so that trailing data is noticed.
        info = os.fstat(handle.fileno())
        if stat.S_ISREG(info.st_mode):
            # The announced size is allocated only when the file holds it.
            image = np.empty(max(min(info.st_size, expected + 1), len(head)), dtype=np.uint8)
            image[: len(head)] = np.frombuffer(head, dtype=np.uint8)
            filled = len(head) + _read_into(handle, image.data[len(head) :])
        else:
            # A stream: memory grows with what arrives, never with the claim.
            data = bytearray(head)
            while len(data) <= expected:
                piece = handle.read(min(_READ_PIECE, expected + 1 - len(data)))
                if not piece:
                    break
                data += piece
            image, filled = np.frombuffer(data, dtype=np.uint8), len(data)
    try:
        graph: IntGraphCore = _native.graph_from_file_image(image[:filled])
    except ValueError as exc:
        raise ValueError(f"{name}: {exc}") from None
    return graph


def _path(path: StrOrBytesPath) -> str:
    """`path` (str, bytes or os.PathLike) as a str that names the same file:
    bytes are decoded as os.fsdecode does, so they round-trip exactly."""
    return os.fsdecode(os.fspath(path))


def _read_into(handle: IO[bytes], view: memoryview) -> int:
    """Fill `view` from `handle` until either ends, a piece at a time (so
    that Ctrl-C is seen between pieces); returns the bytes read."""
    done = 0
    while done < len(view):
        count = handle.readinto(view[done : done + _READ_PIECE])  # type: ignore[attr-defined]
        if not count:
            break
        done += count
    return done


@contextmanager
def _writing(path: str) -> Iterator[IO[bytes]]:
    """A binary file to write to `path` as ``open(path, "wb")`` would, except
    that a regular file (or what a symbolic link points at) is replaced only
    when the writing completed, keeping its permission bits and, where the
    process may, its owner. Anything else that exists at `path` (a FIFO, a
    character device, an open descriptor named through /dev/fd or /proc) is
    written to directly and never replaced. An OSError names `path`."""
    try:
        with _replacing_or_direct(path) as handle:
            yield handle
    except OSError as exc:
        if exc.errno is None or exc.filename == path:
            raise
        raise OSError(exc.errno, exc.strerror, path) from None


@contextmanager
def _replacing_or_direct(path: str) -> Iterator[IO[bytes]]:
    try:
        existing: os.stat_result | None = os.stat(path)
    except FileNotFoundError:
        existing = None
    if (existing is not None and not stat.S_ISREG(existing.st_mode)) or _names_a_descriptor(path):
        with open(os.open(path, os.O_WRONLY | os.O_TRUNC | os.O_CLOEXEC), "wb") as handle:
            yield handle
        return
    target = os.path.realpath(path)
    _remove_leftovers(target)
    fd, temporary = _new_file(target)
    try:
        with open(fd, "wb") as handle:
            if existing is not None:
                _copy_ownership(handle.fileno(), existing)
            yield handle
            handle.flush()
            if temporary is None:  # unnamed: give it a name only now
                temporary = _link_unnamed(handle.fileno(), target, existing is None)
            if temporary is not None:
                os.replace(temporary, target)
                temporary = None
    finally:
        if temporary is not None:
            _unlink_quietly(temporary)


def _new_file(target: str) -> tuple[int, str | None]:
    """A new file in `target`'s directory to be renamed over it later, locked
    until closed (`_held`): unnamed where the system can make one and name it
    later (Linux's O_TMPFILE, named through /proc/self/fd), so a killed
    process leaves nothing behind; otherwise a hidden name beside `target`,
    returned with the descriptor."""
    flags = os.O_WRONLY | os.O_CLOEXEC
    if _UNNAMED_FILES:
        try:
            fd = os.open(os.path.dirname(target), flags | os.O_TMPFILE, 0o666)
        except OSError as exc:
            if exc.errno not in (errno.EOPNOTSUPP, errno.EISDIR, errno.EINVAL):
                raise
        else:
            return _held(fd, None)
    while True:
        temporary = _hidden_name(target)
        fd = os.open(temporary, flags | os.O_CREAT | os.O_EXCL, 0o666)
        # Named before it is locked: a later writer's _remove_leftovers may
        # take the lock first and remove the (still empty) file, and then
        # holds the lock until it is gone. Once locked, the name is checked.
        fd, named = _held(fd, temporary)
        if named is not None:
            return fd, named
        os.close(fd)


def _held(fd: int, name: str | None) -> tuple[int, str | None]:
    """`fd` under an exclusive flock, which its writer holds until it closes
    the file, after the rename (so `_remove_leftovers` never takes it), and
    `name` if that still names the file (None: unnamed, or removed before
    the lock). The file is closed, and `name` removed, if this fails."""
    try:
        if _LOCKS:
            try:
                fcntl.flock(fd, fcntl.LOCK_EX)
            except OSError:
                pass  # a file system without locks: nothing there removes leftovers either
        if name is not None and not _same_file(fd, name):
            name = None
        return fd, name
    except BaseException:
        os.close(fd)
        if name is not None:
            _unlink_quietly(name)
        raise


def _same_file(fd: int, name: str) -> bool:
    """Whether `name` (not followed if a link) is the file open as `fd`."""
    try:
        named = os.lstat(name)
    except FileNotFoundError:
        return False
    held = os.fstat(fd)
    return (named.st_dev, named.st_ino) == (held.st_dev, held.st_ino)


def _remove_leftovers(target: str) -> None:
    """Removes the hidden files of earlier writes to `target` whose writers
    died before renaming them: names of exactly `_hidden_name`'s pattern
    for `target`, regular files, and only those whose lock this process
    gets (a live writer holds its own until the rename). Files it cannot
    open or lock stay."""
    if not _LOCKS:
        return
    directory, name = os.path.split(target)
    prefix = f".{name}."
    try:
        with os.scandir(directory) as entries:
            leftovers = [e.path for e in entries if _is_hidden_name(e.name, prefix) and e.is_file(follow_symlinks=False)]
    except OSError:
        return
    for leftover in leftovers:
        _remove_if_abandoned(leftover)


def _is_hidden_name(entry: str, prefix: str) -> bool:
    """Whether `entry` is `prefix` + 12 lowercase hex digits + ".tmp"."""
    digits = entry[len(prefix) : -len(_HIDDEN_SUFFIX)]
    return (len(entry) == len(prefix) + _HIDDEN_HEX + len(_HIDDEN_SUFFIX) and entry.startswith(prefix)
            and entry.endswith(_HIDDEN_SUFFIX) and all(c in "0123456789abcdef" for c in digits))


def _remove_if_abandoned(path: str) -> None:
    """Removes the regular file `path` if nobody holds its lock, keeping the
    lock until it is gone (see `_new_file`)."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError:
        return
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        if stat.S_ISREG(os.fstat(fd).st_mode) and _same_file(fd, path):
            os.unlink(path)
    except OSError:
        pass  # held by a live writer (BlockingIOError), or gone meanwhile
    finally:
        os.close(fd)


def _unlink_quietly(name: str) -> None:
    try:
        os.unlink(name)
    except OSError:
        pass


def _link_unnamed(fd: int, target: str, fresh: bool) -> str | None:
    """Names the unnamed file `fd`: at `target` itself when nothing was
    there (None: done), otherwise at a hidden name beside it, returned for
    the caller to rename over `target`. A process killed between that link
    and the rename leaves the hidden name behind, unlocked, for the next
    write to `target` to remove."""
    if fresh:
        try:
            _link_descriptor(fd, target)
            return None
        except FileExistsError:  # someone made it meanwhile: replace it
            pass
    temporary = _hidden_name(target)
    _link_descriptor(fd, temporary)
    return temporary


def _hidden_name(target: str) -> str:
    """A fresh hidden name beside `target`: .<name>.<12 hex digits>.tmp"""
    directory, name = os.path.split(target)
    return os.path.join(directory, f".{name}.{secrets.token_hex(_HIDDEN_HEX // 2)}{_HIDDEN_SUFFIX}")


def _link_descriptor(fd: int, name: str) -> None:
    """linkat(/proc/self/fd/<fd>, name, AT_SYMLINK_FOLLOW). os.link follows
    the link only when given a directory descriptor (without one it calls
    link(), which would try to link the /proc entry itself)."""
    descriptors = os.open(_DESCRIPTOR_TABLE, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        os.link(str(fd), name, src_dir_fd=descriptors, follow_symlinks=True)
    finally:
        os.close(descriptors)


def _names_a_descriptor(path: str) -> bool:
    """Whether `path` leads through symbolic links to a process's open
    descriptor (/dev/stdout, /dev/fd/N, /proc/self/fd/N): that file is
    written in place, as replacing it would cut it off from the descriptor."""
    current = os.path.abspath(path)
    for _ in range(_MAX_LINKS):
        if current.startswith(_DESCRIPTOR_DIRECTORIES):
            return True
        try:
            link = os.readlink(current)
        except OSError:
            return False
        current = os.path.normpath(os.path.join(os.path.dirname(current), link))
    return False


def _copy_ownership(fd: int, existing: os.stat_result) -> None:
    """Gives the new file the replaced file's owner (where the process may)
    and permission bits; the owner first, as changing it clears set-id bits."""
    if hasattr(os, "fchown"):
        try:
            os.fchown(fd, existing.st_uid, existing.st_gid)
        except OSError:
            pass  # not permitted: the new file stays the writer's own
    if os.chmod in os.supports_fd:
        os.chmod(fd, stat.S_IMODE(existing.st_mode))


@contextmanager
def _compressing(path: str, raw: IO[bytes]) -> Iterator[IO[bytes]]:
    """`raw` itself, or a compressor writing into it, chosen by `path`'s name."""
    lower = path.lower()
    if lower.endswith(".gz"):
        name = os.path.basename(path)[:-3]
        with gzip.GzipFile(filename=name, mode="wb", fileobj=raw, compresslevel=6, mtime=0) as out:
            yield out  # type: ignore[misc]
    elif lower.endswith(".bz2"):
        with bz2.BZ2File(raw, "wb", compresslevel=_BZ2_LEVEL) as out:
            yield out
    elif lower.endswith(".xz"):
        with lzma.LZMAFile(raw, "wb") as out:
            yield out
    else:
        yield raw
