"""arborvane: fast undirected integer-node graphs with a native core."""

from arborvane import _native  # registers arborvane._arrays
from arborvane._accel import IntGraphCore as IntGraphCore
from arborvane._threads import get_num_threads as get_num_threads
from arborvane._threads import set_num_threads as set_num_threads
from arborvane.interop import from_networkx as from_networkx
from arborvane.interop import to_networkx as to_networkx

# The public names, one a line. The names after the first group live in the
# submodules of _LAZY_MODULES (numpy arrays, files, analytics) and are
# imported on first use, so that `import arborvane` stays quick and does not
# import numpy. A new public function: its submodule's __all__ and one line
# here (tests/test_package.py checks that the two agree).
__all__ = [
    # imported with the package
    "IntGraphCore",
    "from_networkx",
    "to_networkx",
    "get_num_threads",
    "set_num_threads",
    # arborvane.arrays
    "node_array",
    "degree_array",
    "edge_array",
    "pagerank_array",
    "from_arrays",
    "to_scipy_sparse",
    "from_scipy_sparse",
    "PowerIterationFailedConvergence",
    # arborvane.files
    "read_edgelist",
    "write_edgelist",
    "save",
    "load",
    # arborvane.analytics
    "component_labels",
    "bfs_distances",
    "core_number",
    "clustering",
    "average_clustering",
    "transitivity",
    "betweenness_centrality",
    "degree_centrality",
    # arborvane.graph
    "Graph",
    "from_edges",
    "from_pandas_edgelist",
    # arborvane.communities
    "louvain_communities",
    "leiden_communities",
    "label_propagation_communities",
    "modularity",
]

# Where a lazily imported name is looked for, in this order. A type checker
# sees the same modules through the star imports below (they follow each
# submodule's __all__).
_LAZY_MODULES = (
    "arborvane.arrays",
    "arborvane.files",
    "arborvane.analytics",
    "arborvane.graph",
    "arborvane.communities",
)

# Optional subpackages, imported on first attribute access (never by
# `import arborvane`, nor by a star import: they need extras).
_SUBMODULES = ("dask",)

TYPE_CHECKING = False  # typing itself is not imported at run time: it is slow to import
if TYPE_CHECKING:
    from arborvane.analytics import *  # noqa: F403
    from arborvane.arrays import *  # noqa: F403
    from arborvane.communities import *  # noqa: F403
    from arborvane.files import *  # noqa: F403
    from arborvane.graph import *  # noqa: F403

    __version__: str


def __getattr__(name: str) -> object:
    import importlib

    if name in _SUBMODULES:
        return importlib.import_module(f"arborvane.{name}")
    if name == "__version__":
        value: object = importlib.import_module("arborvane._version").version()
    elif name in __all__:
        missing = object()
        for module in _LAZY_MODULES:
            value = getattr(importlib.import_module(module), name, missing)
            if value is not missing:
                break
        else:  # pragma: no cover - tests/test_package.py keeps __all__ and the modules in step
            raise AttributeError(f"module 'arborvane' lists {name!r} but no submodule defines it")
    else:
        raise AttributeError(f"module 'arborvane' has no attribute {name!r}")
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted([*__all__, *_SUBMODULES, "__version__"])
