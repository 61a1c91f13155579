"""Reading arborvane.Graph from edge-list text with columns: endpoints of
any label, an optional weight column, a header, any delimiter.

With pandas installed, its C parser splits the lines (about 0.3 s per
million lines); without it, Python does (str.split, or the csv module for a
given delimiter; about 4 s per million lines of three fields), with the same
result. Compressed files (.gz, .bz2, .xz) are decompressed.
"""

from __future__ import annotations

import csv
import io
from typing import TYPE_CHECKING, Any

import numpy as np

from arborvane.edgelist import open_edge_list

if TYPE_CHECKING:
    from arborvane.graph import Graph

__all__ = ["read_graph_edgelist"]


def read_graph_edgelist(
    path: str,
    *,
    directed: bool = False,
    delimiter: str | None = None,
    comments: str = "#",
    header: bool = False,
    source: int | str = 0,
    target: int | str = 1,
    weight: int | str | None = 2,
    labels: str = "auto",
    duplicates: str = "sum",
) -> Graph:
    """A Graph from an edge-list text file, one edge per line.

    Parameters:
        path: The file (.gz, .bz2 and .xz are decompressed).
        directed: Whether each line's edge goes from source to target.
        delimiter: The column separator; None: any run of whitespace.
        comments: Lines starting with it are skipped ("" for none).
        header: Whether the first (non-comment) line names the columns.
        source: The source column, by position (0-based) or, with a header,
            by name.
        target: The target column, likewise.
        weight: The weight column, likewise; None: unweighted. A weight
            column given by position that a file lacks reads as unweighted.
        labels: ``"auto"`` (integers when every endpoint is one, else
            strings), ``"int"`` or ``"str"``.
        duplicates: How parallel edges merge (see ``from_edges``).

    Returns:
        The Graph.

    Raises:
        ValueError: a line lacks a column, a weight is not a number, or an
            endpoint is not an integer with ``labels="int"``.
        KeyError: a named column is not in the header.
        OSError: the file cannot be read.

    Examples:
        >>> import arborvane, tempfile, os
        >>> path = os.path.join(tempfile.mkdtemp(), "g.csv")
        >>> _ = open(path, "w").write("from,to,km\\nx,y,2.5\\n")
        >>> g = arborvane.Graph.read_edgelist(path, delimiter=",", header=True, source="from", target="to", weight="km")
        >>> g.edges()[2].tolist()
        [2.5]
    """
    from arborvane.graph import from_edges

    if labels not in ("auto", "int", "str"):
        raise ValueError(f"read_graph_edgelist(): labels must be 'auto', 'int' or 'str', got {labels!r}")
    by_pandas = parsed = _columns_by_pandas(path, delimiter, comments, header)
    if parsed is None:
        with open_edge_list(path) as stream:
            text = stream.read().decode()
        parsed = _columns(text, delimiter, comments, header)
    columns, names = parsed
    if not columns:
        columns = [[] for _ in range(2)]

    def column(key: int | str) -> Any:
        index = names.index(key) if isinstance(key, str) and names is not None and key in names else key
        if isinstance(index, str):
            raise KeyError(f"read_graph_edgelist(): no column {key!r} in {path}")
        if index >= len(columns):
            raise ValueError(f"read_graph_edgelist(): {path} has no column {index}")
        return columns[index]

    u, v = column(source), column(target)
    if by_pandas is not None and "f" in (np.asarray(u).dtype.kind, np.asarray(v).dtype.kind):
        # pandas made numbers of endpoints such as "1.5": read them as written
        columns, names = _columns_by_pandas(path, delimiter, comments, header, as_text=True)  # type: ignore[misc]
        u, v = column(source), column(target)
    w = None
    if weight is not None and (not isinstance(weight, int) or weight < len(columns)):
        try:
            w = np.array(column(weight), dtype=np.float64)
        except ValueError as error:
            raise ValueError(f"read_graph_edgelist(): a weight in {path} is not a number ({error})") from None
    u, v = _endpoints(u, v, labels, path)
    return from_edges(u, v, weights=w, directed=directed, duplicates=duplicates)


def _columns(text: str, delimiter: str | None, comments: str, header: bool) -> tuple[list[list[str]], list[str] | None]:
    """The file's columns as lists of fields, and the header's names."""
    lines = [line for line in text.splitlines() if line.strip() and not (comments and line.lstrip().startswith(comments))]
    if delimiter is None:
        rows = [line.split() for line in lines]
    else:
        rows = [[field.strip() for field in row] for row in csv.reader(io.StringIO("\n".join(lines)), delimiter=delimiter)]
    names = None
    if header and rows:
        names, rows = rows[0], rows[1:]
    if not rows:
        return [], names
    width = len(rows[0])
    for i, row in enumerate(rows):
        if len(row) != width or width < 2:
            raise ValueError(f"read_graph_edgelist(): data line {i + 1} has {len(row)} columns, the first {width}")
    return [[row[i] for row in rows] for i in range(width)], names


def _columns_by_pandas(
    path: str, delimiter: str | None, comments: str, header: bool, as_text: bool = False
) -> tuple[list[Any], list[str] | None] | None:
    """The columns as pandas reads them (numbers where it can, or with
    `as_text` every field as written); None without pandas or for a comment
    marker it cannot take (it takes one character)."""
    if len(comments) > 1:
        return None
    try:
        import pandas as pd  # type: ignore[import-untyped,unused-ignore]
    except ImportError:
        return None
    try:
        frame = pd.read_csv(
            path,
            sep=r"\s+" if delimiter is None else delimiter,
            header=0 if header else None,
            comment=comments or None,
            skipinitialspace=True,
            skip_blank_lines=True,
            dtype=str if as_text else None,
        )
    except pd.errors.EmptyDataError:
        return [], None
    except pd.errors.ParserError as error:
        raise ValueError(f"read_graph_edgelist(): {path}: {error}") from None
    if frame.isna().to_numpy().any():
        raise ValueError(f"read_graph_edgelist(): a line of {path} lacks a column")
    if frame.shape[1] < 2 and len(frame):
        raise ValueError(f"read_graph_edgelist(): data line 1 of {path} has fewer than two columns")
    names = [str(name) for name in frame.columns] if header else None
    return [frame[name].to_numpy() for name in frame.columns], names


def _endpoints(u: Any, v: Any, labels: str, path: str) -> tuple[Any, Any]:
    """Both endpoint columns as int64 labels, or (when either has a field
    that is not an int64 integer, or with labels="str") as strings."""
    columns = [np.asarray(u), np.asarray(v)]
    if labels != "str":
        try:
            return tuple(_int64s(array) for array in columns)
        except (ValueError, OverflowError, TypeError):
            if labels == "int":
                raise ValueError(f"read_graph_edgelist(): an endpoint in {path} is not an int64 integer") from None
    return columns[0].astype(str).astype(object), columns[1].astype(str).astype(object)


def _int64s(array: Any) -> Any:
    if array.dtype == object:
        return np.array([int(f) for f in array.tolist()], dtype=np.int64)
    return array.astype(np.int64)  # numpy parses text
