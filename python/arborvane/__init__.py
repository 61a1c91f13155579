"""arborvane: fast undirected integer-node graphs with a native core."""

from arborvane import _native  # noqa: F401  (registers arborvane._arrays)
from arborvane._accel import IntGraphCore
from arborvane.interop import from_networkx, to_networkx

# numpy arrays, files and analytics: imported on first use, so that
# `import arborvane` stays quick and does not import numpy.
_LAZY = {
    "node_array": "arborvane.arrays",
    "degree_array": "arborvane.arrays",
    "edge_array": "arborvane.arrays",
    "pagerank_array": "arborvane.arrays",
    "from_arrays": "arborvane.arrays",
    "to_scipy_sparse": "arborvane.arrays",
    "from_scipy_sparse": "arborvane.arrays",
    "PowerIterationFailedConvergence": "arborvane.arrays",
    "read_edgelist": "arborvane.files",
    "write_edgelist": "arborvane.files",
    "save": "arborvane.files",
    "load": "arborvane.files",
    "component_labels": "arborvane.analytics",
    "bfs_distances": "arborvane.analytics",
    "core_number": "arborvane.analytics",
    "clustering": "arborvane.analytics",
    "average_clustering": "arborvane.analytics",
    "transitivity": "arborvane.analytics",
    "betweenness_centrality": "arborvane.analytics",
    "degree_centrality": "arborvane.analytics",
    "Graph": "arborvane.graph",
    "from_edges": "arborvane.graph",
    "from_pandas_edgelist": "arborvane.graph",
    "louvain_communities": "arborvane.communities",
    "leiden_communities": "arborvane.communities",
    "label_propagation_communities": "arborvane.communities",
    "modularity": "arborvane.communities",
}

# Optional subpackages, imported on first attribute access (never by
# `import arborvane`, nor by a star import: they need extras).
_SUBMODULES = ("dask",)

TYPE_CHECKING = False  # typing itself is not imported at run time: it is slow to import
if TYPE_CHECKING:
    from arborvane.arrays import (
        PowerIterationFailedConvergence,
        degree_array,
        edge_array,
        from_arrays,
        from_scipy_sparse,
        node_array,
        pagerank_array,
        to_scipy_sparse,
    )
    from arborvane.analytics import (
        average_clustering,
        betweenness_centrality,
        bfs_distances,
        clustering,
        component_labels,
        core_number,
        degree_centrality,
        transitivity,
    )
    from arborvane.communities import (
        label_propagation_communities,
        leiden_communities,
        louvain_communities,
        modularity,
    )
    from arborvane.files import load, read_edgelist, save, write_edgelist
    from arborvane.graph import Graph, from_edges, from_pandas_edgelist

__all__ = ["IntGraphCore", "from_networkx", "to_networkx", *_LAZY]


def __getattr__(name: str) -> object:
    import importlib

    if name in _SUBMODULES:
        return importlib.import_module(f"arborvane.{name}")
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module 'arborvane' has no attribute {name!r}")
    value = getattr(importlib.import_module(module), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted({*globals(), *_LAZY, *_SUBMODULES})
