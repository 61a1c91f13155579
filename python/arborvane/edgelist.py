"""Reading edge-list text files into flat arrays of signed 64-bit node ids.

Format: one or more pairs of integer ids per line, separated by whitespace or
commas; blank lines are skipped, and so are lines whose first visible
character is ``#`` or ``%`` (SNAP and KONECT headers). A file whose name ends
in ``.gz``, ``.bz2`` or ``.xz`` is decompressed on the fly.

The file is read in large blocks, never line by line. With numpy installed a
block is tokenised and converted with vectorised byte operations; without it,
``bytes.split`` and ``array('q', map(int, ...))`` do the bulk work. Either
way a block that looks wrong is handed to a slow line-by-line checker whose
only job is to name the first bad line exactly.

A block ends at the last line break it holds. A line longer than a block is
taken in pieces that end between two ids (an id cut by the block boundary
waits for the next piece), so memory stays within a few blocks however the
file is laid out.
"""

from __future__ import annotations

import array
import bz2
import gzip
import lzma
import re
import zlib
from dataclasses import dataclass
from itertools import chain
from typing import IO, Any, Callable, Iterator

_np: Any
try:  # numpy is optional: it makes parsing several times faster.
    import numpy as _np
except ImportError:  # pragma: no cover - exercised only without numpy
    _np = None

__all__ = ["EdgeListError", "EdgeList", "EdgeListReader", "read_edge_list", "open_edge_list"]

_BLOCK = 1 << 21  # bytes per block: big enough to amortise per-block costs, small enough for the caches
# Bytes per read: bz2 decompresses edge-list text at about 20 MiB/s on this
# 2-core machine, so 256 KiB is about 13 ms between two looks at Ctrl-C.
_READ_PIECE = 1 << 18
_SEPARATORS = b" \t\r\v\f,"
_TOKEN_CHARS = b"0123456789+-"
_INTEGER = re.compile(rb"[+-]?[0-9]+\Z")
_INT64_MIN = -(1 << 63)
_INT64_MAX = (1 << 63) - 1
_COMMENT_MARKS = (b"#", b"%")
_VALID_BYTES = _SEPARATORS + b"\n" + _TOKEN_CHARS
_PAD = b" " * 8  # leading separators that every block starts with
_LONGEST_TOKEN = 1 << 16  # a token this long is no id (sign, 19 digits and leading zeros aside)


class EdgeListError(ValueError):
    """A file that cannot be read as an edge list; ``str()`` is one line."""

    def __init__(self, path: str, line: int | None, reason: str) -> None:
        self.path = path
        self.line = line
        self.reason = reason
        where = f"{path}:{line}" if line is not None else path
        super().__init__(f"{where}: {reason}")


@dataclass
class EdgeList:
    """Node ids read from a file, two per edge, in file order.

    ``parts`` holds the ids block by block (numpy int64 arrays, or
    array('q') without numpy), each an even number of ids; ``flat`` joins
    them into one array.
    """

    parts: list[Any]
    lines: int  # lines read, comments and blank lines included
    bytes_read: int  # uncompressed bytes

    @property
    def edge_count(self) -> int:
        """Number of id pairs (duplicates and self-loops included)."""
        return sum(map(len, self.parts)) // 2

    @property
    def flat(self) -> Any:
        """All ids in one array (numpy when the parts are numpy arrays)."""
        if _np is not None and self.parts and isinstance(self.parts[0], _np.ndarray):
            return self.parts[0] if len(self.parts) == 1 else _np.concatenate(self.parts)
        flat = array.array("q")
        for part in self.parts:
            flat.extend(part)
        return flat


def open_edge_list(path: str) -> IO[bytes]:
    """Open ``path`` for binary reading, decompressing by extension."""
    lower = path.lower()
    opener: Callable[..., Any] = open
    if lower.endswith(".gz"):
        opener = gzip.open
    elif lower.endswith(".bz2"):
        opener = bz2.open
    elif lower.endswith(".xz"):
        opener = lzma.open
    handle: IO[bytes] = opener(path, "rb")
    return handle


class EdgeListReader:
    """Reads an edge-list file block by block.

    ``blocks()`` yields the ids of each block as an array (numpy int64, or
    array('q') without numpy), two per edge, in file order; afterwards
    ``lines`` and ``bytes_read`` describe what was read. Raises EdgeListError
    (a ValueError) naming the file and the first bad line, or the file alone
    when it cannot be opened or decompressed. ``use_numpy`` forces (True) or
    avoids (False) the numpy path; by default numpy is used when installed.
    """

    def __init__(self, path: str, *, use_numpy: bool | None = None) -> None:
        if use_numpy is None:
            use_numpy = _np is not None
        if use_numpy and _np is None:
            raise RuntimeError("numpy is not installed")
        self.path = path
        self.use_numpy = use_numpy
        self.lines = 0  # lines completely read, comments and blank lines included
        self.bytes_read = 0  # uncompressed bytes
        self._parse = _parse_block_numpy if use_numpy else _parse_block_plain
        self._count_newlines = _count_newlines_numpy if use_numpy else _count_newlines

    def blocks(self) -> Iterator[Any]:
        try:
            with open_edge_list(self.path) as handle:
                yield from self._read(handle)
        except EdgeListError:
            raise
        except OSError as exc:
            reason = exc.strerror or str(exc) or type(exc).__name__
            raise EdgeListError(self.path, None, f"cannot read file: {reason}") from None
        except (EOFError, lzma.LZMAError, zlib.error) as exc:
            raise EdgeListError(self.path, None, f"cannot decompress file: {exc}") from None

    def _read(self, handle: IO[bytes]) -> Iterator[Any]:
        pending = bytearray()  # bytes read but not parsed yet
        # A line longer than a block, whose start was taken already: either
        # `carried` of its ids were parsed (always an even number), or it is
        # a comment whose rest is skipped.
        carried: int | None = None
        comment = False
        partial = False  # some of the current line was taken already
        while True:
            data = _read_block(handle)
            self.bytes_read += len(data)
            pending += data
            cut = pending.rfind(b"\n")
            if cut >= 0:
                block = bytes(memoryview(pending)[: cut + 1])
                del pending[: cut + 1]
                if comment:  # the end of a long comment line
                    self.lines += 1
                    block = block[block.index(b"\n") + 1 :]
                if block:
                    yield self._block(block, carried)
                carried, comment, partial = None, False, False
            if not data:
                if pending and not comment:  # a last line without a line break
                    yield self._block(bytes(pending) + b"\n", carried)
                elif pending or partial:  # ... or the rest of a long one
                    self.lines += 1
                return
            if len(pending) >= _BLOCK:
                piece = None if comment else self._long_line_piece(pending, carried)
                partial = True
                if piece is None:
                    comment = True
                    pending.clear()
                    continue
                ids, count, used = piece
                if count:
                    yield ids
                    carried = (carried or 0) + count
                del pending[:used]

    def _block(self, block: bytes, carried: int | None) -> Any:
        """Ids of whole lines; the first continues a long line when `carried` is set."""
        ids = _checked(self._parse, _PAD + block, self.path, self.lines, self.use_numpy, carried)
        self.lines += self._count_newlines(block)
        return ids

    def _long_line_piece(self, pending: bytearray, carried: int | None) -> tuple[Any, int, int] | None:
        """The ids of the complete pairs at the start of `pending` (which holds
        no line break) as (ids, how many, bytes used); None when the line is a
        comment."""
        if carried is None:
            start = pending.lstrip(_SEPARATORS)[:1]
            if start in _COMMENT_MARKS:
                return None
        end = _last_separator(pending) + 1
        if len(pending) - end > _LONGEST_TOKEN:  # the id being read never ends
            self._token_too_long(bytes(pending[end:]))
        text = bytes(pending[:end]).translate(_COMMA_TO_SPACE)
        count = self._count_tokens(text)
        if count == 1:
            # One id, waiting for its partner: keep it and one separator.
            token = text.split()[0]
            if len(token) > _LONGEST_TOKEN:
                self._token_too_long(token)
            del pending[text.index(token) + len(token) + 1 : end]
            return self._empty(), 0, 0
        if count & 1:  # the last id of an odd count waits for its partner
            end = _last_separator(pending[:end].rstrip(_SEPARATORS)) + 1
            count -= 1
        if not count:  # separators, then perhaps the start of an id
            return self._empty(), 0, end
        piece = _PAD + bytes(pending[:end]) + b"\n"
        ids = _checked(self._parse, piece, self.path, self.lines, self.use_numpy, carried or 0)
        return ids, count, end

    def _count_tokens(self, text: bytes) -> int:
        """Runs of bytes above the space character in `text` (commas already spaces)."""
        if not self.use_numpy:
            return len(text.split())
        inside = _np.frombuffer(text, dtype=_np.uint8) > 32
        return int(inside[:1].sum()) + int(_np.count_nonzero(inside[1:] & ~inside[:-1]))

    def _token_too_long(self, token: bytes) -> None:
        reason = _token_error(token) or f"node id longer than {_LONGEST_TOKEN} characters: {_show(token)}"
        raise EdgeListError(self.path, self.lines + 1, reason)

    def _empty(self) -> Any:
        return _np.empty(0, dtype=_np.int64) if self.use_numpy else array.array("q")


def read_edge_list(path: str, *, use_numpy: bool | None = None) -> EdgeList:
    """Read every id pair of the edge-list file at ``path``.

    Raises EdgeListError (a ValueError) naming the file and the first bad
    line, or the file alone when it cannot be opened or decompressed.
    ``use_numpy`` forces (True) or avoids (False) the numpy path; by default
    numpy is used when it is installed.
    """
    reader = EdgeListReader(path, use_numpy=use_numpy)
    parts = [ids for ids in reader.blocks() if len(ids)]
    return EdgeList(parts, reader.lines, reader.bytes_read)


def _read_block(handle: IO[bytes]) -> bytes:
    """Up to _BLOCK bytes from `handle` (fewer only at its end), read in
    pieces of _READ_PIECE, so that Ctrl-C is seen between two pieces even
    when a slow decompressor produces them."""
    first = handle.read(min(_READ_PIECE, _BLOCK))
    if len(first) >= _BLOCK or not first:
        return first
    pieces = [first]
    size = len(first)
    while size < _BLOCK:
        piece = handle.read(min(_READ_PIECE, _BLOCK - size))
        if not piece:
            break
        pieces.append(piece)
        size += len(piece)
    return b"".join(pieces)


def _last_separator(data: bytes | bytearray) -> int:
    """Position of the last separator byte in `data`, or -1."""
    return max(data.rfind(separator) for separator in (b" ", b"\t", b"\r", b"\v", b"\f", b","))


def _checked(
    parse_block: Callable[[bytes], Any],
    block: bytes,
    path: str,
    line_base: int,
    use_numpy: bool,
    carried: int | None = None,
) -> Any:
    """Parse one block; on any doubt, find and report its first bad line.
    `carried` is set when the block's first line continues a long line of
    which that many ids were parsed already."""
    ids = parse_block(_blank_comment_lines(block, carried is not None))
    if ids is None:
        _raise_first_error(block, path, line_base, carried)
        # The fast path refused a block that the exact checker accepts: a
        # fault in the fast path, never in the file. Fall back to the checker's
        # reading so the caller still gets the right ids.
        exact = _parse_block_exact(block, carried is not None)
        ids = _np.array(exact, dtype=_np.int64) if use_numpy and _np is not None else array.array("q", exact)
    return ids


def _count_newlines(block: bytes) -> int:
    return block.count(b"\n")


def _count_newlines_numpy(block: bytes) -> int:
    assert _np is not None
    return int(_np.count_nonzero(_np.frombuffer(block, dtype=_np.uint8) == 10))


def _blank_comment_lines(block: bytes, continued: bool = False) -> bytes:
    """Overwrite comment lines with spaces, keeping every line break. A
    `continued` block's first line is the rest of a line, never a comment."""
    if b"#" not in block and b"%" not in block:
        return block
    out: bytearray | None = None
    first = block.find(b"\n") + 1 if continued else 0
    for mark in _COMMENT_MARKS:
        pos = block.find(mark, first)
        while pos >= 0:
            start = block.rfind(b"\n", 0, pos) + 1
            end = block.find(b"\n", pos)  # every block ends with a line break
            if not block[start:pos].strip(_SEPARATORS):
                if out is None:
                    out = bytearray(block)
                out[start:end] = b" " * (end - start)
            pos = block.find(mark, end)
    return block if out is None else bytes(out)


def _parse_block_plain(block: bytes) -> array.array[int] | None:
    """Parse a block with bytes operations only; None when it needs checking."""
    if block.translate(None, _VALID_BYTES):
        return None  # a character that cannot appear in valid data
    rows = list(map(bytes.split, block.translate(_COMMA_TO_SPACE).split(b"\n")))
    if any(count & 1 for count in set(map(len, rows))):
        return None  # some line holds an odd number of ids
    try:
        return array.array("q", map(int, chain.from_iterable(rows)))
    except (ValueError, OverflowError):
        return None  # misplaced sign ("1-2", "--3") or an id beyond 64 bits


_COMMA_TO_SPACE = bytes.maketrans(b",", b" ")

if _np is not None:
    _U64 = _np.uint64
    # _KEEP_LAST[c] keeps the last c bytes of an 8-byte little-endian word;
    # _ZEROS_LAST[c] holds ASCII '0' in exactly those bytes.
    _KEEP_LAST = _np.array([((1 << (8 * c)) - 1) << (8 * (8 - c)) for c in range(9)], dtype=_U64)
    _ZEROS_LAST = _KEEP_LAST & _U64(0x3030303030303030)
    _GROUP_SCALE = [1, 10**8, 10**16]


def _digit_word_values(v: Any) -> Any:
    """In place: each uint64 holding 8 digit values (0-9), first digit in the
    low byte, becomes the number they spell (multiply-and-shift, no loops)."""
    v &= _U64(0x0F0F0F0F0F0F0F0F)
    v *= _U64(2561)  # 10 * 256 + 1: pairs of digits
    v >>= _U64(8)
    v &= _U64(0x00FF00FF00FF00FF)
    v *= _U64(6553601)  # 100 * 65536 + 1: groups of four
    v >>= _U64(16)
    v &= _U64(0x0000FFFF0000FFFF)
    v *= _U64(42949672960001)  # 10000 * 2**32 + 1: all eight
    v >>= _U64(32)
    return v


def _parse_block_numpy(block: bytes) -> Any:
    """Parse a block with vectorised byte operations; None when it needs checking.

    A token is a maximal run of bytes above the space character (digits and
    signs once the block is known to hold nothing else). Each token's digits
    are read eight at a time as one unaligned 64-bit word ending at the
    token's last digit; the bytes before the token are masked off and the
    digits combined by multiply-and-shift. The block starts with at least 8
    separator bytes, so every such word lies inside it.
    """
    np = _np
    assert np is not None
    if block.translate(None, _VALID_BYTES):
        return None  # a character that cannot appear in valid data
    if b"," in block:
        block = block.translate(_COMMA_TO_SPACE)
    raw = np.frombuffer(block, dtype=np.uint8)
    in_token = raw > 32
    # Token boundaries alternate start, end, start, end...: the block starts
    # with a separator and ends with a line break.
    bounds = np.flatnonzero(in_token[1:] != in_token[:-1])
    bounds += 1
    starts = bounds[0::2]
    ends = bounds[1::2]
    if starts.size & 1:
        return None
    if starts.size == 0:
        return np.empty(0, dtype=np.int64)
    # Pairs must not straddle a line break: the gap between the first and the
    # second id of each pair holds no newline (then every line holds pairs).
    first_ends = ends[0::2]
    second_starts = starts[1::2]
    if int((second_starts - first_ends).max()) == 1:
        if np.any(raw[first_ends] == 10):
            return None
    else:
        newlines = np.flatnonzero(raw == 10)
        if np.any(np.searchsorted(newlines, first_ends) != np.searchsorted(newlines, second_starts)):
            return None
    # Signs: only as the first byte of a token with digits after it.
    negative = None
    lengths = ends - starts
    if b"-" in block or b"+" in block:
        lead = raw[starts]
        signed = lead < 48
        if int(np.count_nonzero(signed)) != int(np.count_nonzero(raw < 48) - np.count_nonzero(raw <= 32)):
            return None
        lengths -= signed
        negative = lead == 45
    shortest = int(lengths.min())
    longest = int(lengths.max())
    if shortest < 1:
        return None
    if longest > 19:
        return None  # more digits than any 64-bit id (leading zeros are rare)
    words = np.ndarray(shape=(raw.size - 7,), dtype="<u8", buffer=block, strides=(1,))
    magnitudes: Any = None
    for group in range((longest + 7) // 8):
        # Digits of each token that fall in this group of eight (0 to 8).
        count = np.clip(lengths - 8 * group, 0, 8) if longest > 8 else lengths
        word = words[ends - (8 * group + 8)]
        if shortest >= 8 * (group + 1):
            word -= _U64(0x3030303030303030)
        else:
            word &= _KEEP_LAST[count]
            word -= _ZEROS_LAST[count]
        part = _digit_word_values(word)
        if group:
            part *= _U64(_GROUP_SCALE[group])
            magnitudes += part
        else:
            magnitudes = part
    values = magnitudes.view(np.int64)
    if negative is not None:
        values = np.where(negative, -values, values)
    if longest == 19:
        # Nineteen digits may exceed the 64-bit range: redo those exactly.
        for i in np.flatnonzero(lengths == 19).tolist():
            value = int(block[starts[i] : ends[i]])
            if not _INT64_MIN <= value <= _INT64_MAX:
                return None
            values[i] = value
    return values


def _parse_block_exact(block: bytes, continued: bool = False) -> list[int]:
    """Line-by-line reading of a block that is known to be valid."""
    ids: list[int] = []
    for offset, line in enumerate(block.split(b"\n")):
        tokens = line.translate(_COMMA_TO_SPACE).split()
        if tokens and (tokens[0][:1] not in _COMMENT_MARKS or (continued and offset == 0)):
            ids.extend(map(_token_value, tokens))
    return ids


def _raise_first_error(block: bytes, path: str, line_base: int, carried: int | None = None) -> None:
    """Raise EdgeListError for the first bad line of ``block``, if any. When
    `carried` is set, the first line continues a line of which that many ids
    were read before."""
    for offset, line in enumerate(block.split(b"\n")):
        tokens = line.translate(_COMMA_TO_SPACE).split()
        continued = carried is not None and offset == 0
        if not continued and (not tokens or tokens[0][:1] in _COMMENT_MARKS):
            continue
        lineno = line_base + offset + 1
        for token in tokens:
            reason = _token_error(token)
            if reason:
                raise EdgeListError(path, lineno, reason + _weight_column_hint(tokens))
        count = len(tokens) + (carried or 0 if continued else 0)
        if count & 1:
            reason = f"odd number of ids on a line ({count}); expected pairs of node ids"
            raise EdgeListError(path, lineno, reason + _weight_column_hint(tokens))


def _weight_column_hint(tokens: list[bytes]) -> str:
    """Where to turn when a line reads as ``u v weight``: this reader takes
    unweighted pairs only."""
    if len(tokens) != 3 or not all(_INTEGER.match(t) for t in tokens[:2]):
        return ""
    try:
        float(tokens[2])
    except ValueError:
        return ""
    return "; for a weight column use arborvane.Graph.read_edgelist(path, weight=2)"


def _token_error(token: bytes) -> str | None:
    """Why `token` is not a node id, or None when it is one."""
    if not _INTEGER.match(token):
        return f"not an integer node id: {_show(token)}"
    if not _INT64_MIN <= _token_value(token) <= _INT64_MAX:
        return f"node id outside the signed 64-bit range: {_show(token)}"
    return None


def _token_value(token: bytes) -> int:
    """The value of an integer token. Leading zeros are dropped first, and
    more than 19 digits are only ever compared, never converted: int() of a
    huge token is slow, and refused beyond the interpreter's digit limit."""
    digits = token.lstrip(b"+-").lstrip(b"0") or b"0"
    if len(digits) > 19:
        return _INT64_MAX + 1 if token[:1] != b"-" else _INT64_MIN - 1
    return -int(digits) if token[:1] == b"-" else int(digits)


def _show(token: bytes, limit: int = 40) -> str:
    text = token.decode("utf-8", "replace")
    if len(text) > limit:
        text = text[: limit - 3] + "..."
    return repr(text)
