"""Reading arborvane.Graph from edge-list text with columns: endpoints of
any label, an optional weight column, a header, any delimiter.

Lines are split in Python (str.split, or the csv module for a given
delimiter): simple and exact, at about a microsecond per field; for files of
hundreds of millions of edges, read the columns with pandas and call
from_pandas_edgelist. Compressed files (.gz, .bz2, .xz) open as
arborvane.edgelist's open_edge_list opens them.
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
        source, target, weight: The columns, by position (0-based) or, with
            a header, by name. ``weight`` None: unweighted; a weight column
            given by position that a file lacks reads as unweighted.
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
    with open_edge_list(path) as stream:
        text = stream.read().decode()
    columns, names = _columns(text, delimiter, comments, header)
    if not columns:
        columns = [[] for _ in range(2)]

    def column(key: int | str) -> list[str]:
        index = names.index(key) if isinstance(key, str) and names is not None and key in names else key
        if isinstance(index, str):
            raise KeyError(f"read_graph_edgelist(): no column {key!r} in {path}")
        if index >= len(columns):
            raise ValueError(f"read_graph_edgelist(): {path} has no column {index}")
        return columns[index]

    u, v = column(source), column(target)
    w = None
    if weight is not None and (not isinstance(weight, int) or weight < len(columns)):
        try:
            w = np.array(column(weight), dtype=np.float64)
        except ValueError as error:
            raise ValueError(f"read_graph_edgelist(): a weight in {path} is not a number ({error})") from None
    return from_edges(_endpoints(u, labels, path), _endpoints(v, labels, path), weights=w, directed=directed,
                      duplicates=duplicates)


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
    width = min(len(row) for row in rows)
    if width < 2:
        short = next(i for i, row in enumerate(rows) if len(row) < 2)
        raise ValueError(f"read_graph_edgelist(): data line {short + 1} has fewer than two columns")
    return [[row[i] for row in rows] for i in range(width)], names


def _endpoints(fields: list[str], labels: str, path: str) -> Any:
    if labels == "str":
        return np.array(fields, dtype=object)
    try:
        return np.array([int(f) for f in fields], dtype=np.int64)
    except (ValueError, OverflowError):
        if labels == "int":
            raise ValueError(f"read_graph_edgelist(): an endpoint in {path} is not an int64 integer") from None
        return np.array(fields, dtype=object)
