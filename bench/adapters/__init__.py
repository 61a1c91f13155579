"""One adapter per library: how that library performs each workload.

Every workload method takes the graph under test and the run context, does any
untimed preparation, and returns ``(call, inspect)``: `call` is the timed zero-argument
callable and `inspect` turns its result into the value compared across libraries.
"""
from __future__ import annotations

from .base import ALL_SOURCES, BUILT_BY, DIRECTED, WORKLOADS, Adapter, Context  # noqa: F401

LIBRARIES = ("arborvane", "networkx", "igraph", "rustworkx", "networkit")


def adapter_for(name: str) -> Adapter:
    if name == "arborvane":
        from .arborvane_adapter import ArborvaneAdapter as cls
    elif name == "networkx":
        from .networkx_adapter import NetworkxAdapter as cls
    elif name == "igraph":
        from .igraph_adapter import IgraphAdapter as cls
    elif name == "rustworkx":
        from .rustworkx_adapter import RustworkxAdapter as cls
    elif name == "networkit":
        from .networkit_adapter import NetworkitAdapter as cls
    else:
        raise ValueError(f"unknown library {name!r}; choose from {', '.join(LIBRARIES)}")
    return cls()
