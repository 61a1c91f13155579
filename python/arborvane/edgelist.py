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
from typing import IO, Any, Callable

_np: Any
try:  # numpy is optional: it makes parsing several times faster.
    import numpy as _np
except ImportError:  # pragma: no cover - exercised only without numpy
    _np = None

__all__ = ["EdgeListError", "EdgeList", "read_edge_list", "open_edge_list"]

_BLOCK = 1 << 21  # bytes per block: big enough to amortise per-block costs, small enough for the caches
_SEPARATORS = b" \t\r\v\f,"
_TOKEN_CHARS = b"0123456789+-"
_INTEGER = re.compile(rb"[+-]?[0-9]+\Z")
_INT64_MIN = -(1 << 63)
_INT64_MAX = (1 << 63) - 1
_COMMENT_MARKS = (b"#", b"%")
_VALID_BYTES = _SEPARATORS + b"\n" + _TOKEN_CHARS
_PAD = b" " * 8  # leading separators that every block starts with


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


def read_edge_list(path: str, *, use_numpy: bool | None = None) -> EdgeList:
    """Read every id pair of the edge-list file at ``path``.

    Raises EdgeListError (a ValueError) naming the file and the first bad
    line, or the file alone when it cannot be opened or decompressed.
    ``use_numpy`` forces (True) or avoids (False) the numpy path; by default
    numpy is used when it is installed.
    """
    if use_numpy is None:
        use_numpy = _np is not None
    if use_numpy and _np is None:
        raise RuntimeError("numpy is not installed")
    parse_block = _parse_block_numpy if use_numpy else _parse_block_plain
    count_newlines = _count_newlines_numpy if use_numpy else _count_newlines
    parts: list[Any] = []
    line_base = 0  # lines completely read before the current block
    total = 0
    try:
        with open_edge_list(path) as handle:
            tail = b""
            while True:
                data = handle.read(_BLOCK)
                if not data:
                    break
                total += len(data)
                cut = data.rfind(b"\n")
                if cut < 0:  # no line ends in this block: keep accumulating
                    tail += data
                    continue
                block = b"".join((_PAD, tail, memoryview(data)[: cut + 1]))
                tail = data[cut + 1 :]
                parts.append(_checked(parse_block, block, path, line_base, use_numpy))
                line_base += count_newlines(block)
            if tail:
                parts.append(_checked(parse_block, _PAD + tail + b"\n", path, line_base, use_numpy))
                line_base += 1
    except EdgeListError:
        raise
    except OSError as exc:
        reason = exc.strerror or str(exc) or type(exc).__name__
        raise EdgeListError(path, None, f"cannot read file: {reason}") from None
    except (EOFError, lzma.LZMAError, zlib.error) as exc:
        raise EdgeListError(path, None, f"cannot decompress file: {exc}") from None
    return EdgeList(parts, line_base, total)


def _checked(
    parse_block: Callable[[bytes], Any], block: bytes, path: str, line_base: int, use_numpy: bool
) -> Any:
    """Parse one block; on any doubt, find and report its first bad line."""
    ids = parse_block(_blank_comment_lines(block))
    if ids is None:
        _raise_first_error(block, path, line_base)
        # The fast path refused a block that the exact checker accepts: a
        # fault in the fast path, never in the file. Fall back to the checker's
        # reading so the caller still gets the right ids.
        exact = _parse_block_exact(block)
        ids = _np.array(exact, dtype=_np.int64) if use_numpy and _np is not None else array.array("q", exact)
    return ids


def _count_newlines(block: bytes) -> int:
    return block.count(b"\n")


def _count_newlines_numpy(block: bytes) -> int:
    assert _np is not None
    return int(_np.count_nonzero(_np.frombuffer(block, dtype=_np.uint8) == 10))


def _blank_comment_lines(block: bytes) -> bytes:
    """Overwrite comment lines with spaces, keeping every line break."""
    if b"#" not in block and b"%" not in block:
        return block
    out: bytearray | None = None
    for mark in _COMMENT_MARKS:
        pos = block.find(mark)
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


def _parse_block_exact(block: bytes) -> list[int]:
    """Line-by-line reading of a block that is known to be valid."""
    ids: list[int] = []
    for line in block.split(b"\n"):
        tokens = line.translate(_COMMA_TO_SPACE).split()
        if tokens and tokens[0][:1] not in _COMMENT_MARKS:
            ids.extend(map(int, tokens))
    return ids


def _raise_first_error(block: bytes, path: str, line_base: int) -> None:
    """Raise EdgeListError for the first bad line of ``block``, if any."""
    for offset, line in enumerate(block.split(b"\n")):
        tokens = line.translate(_COMMA_TO_SPACE).split()
        if not tokens or tokens[0][:1] in _COMMENT_MARKS:
            continue
        lineno = line_base + offset + 1
        for token in tokens:
            if not _INTEGER.match(token):
                raise EdgeListError(path, lineno, f"not an integer node id: {_show(token)}")
            if not _INT64_MIN <= int(token) <= _INT64_MAX:
                raise EdgeListError(path, lineno, f"node id outside the signed 64-bit range: {_show(token)}")
        if len(tokens) & 1:
            raise EdgeListError(
                path, lineno, f"odd number of ids on a line ({len(tokens)}); expected pairs of node ids"
            )


def _show(token: bytes, limit: int = 40) -> str:
    text = token.decode("utf-8", "replace")
    if len(text) > limit:
        text = text[: limit - 3] + "..."
    return repr(text)
