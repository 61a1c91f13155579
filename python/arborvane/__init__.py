"""arborvane: fast undirected integer-node graphs with a native core."""

from arborvane._accel import IntGraphCore
from arborvane.interop import from_networkx, to_networkx

# numpy arrays and files (native module arborvane._arrays).
from arborvane.arrays import (
    degree_array,
    edge_array,
    from_arrays,
    from_scipy_sparse,
    node_array,
    pagerank_array,
    to_scipy_sparse,
)
from arborvane.files import load, read_edgelist, save, write_edgelist

# Analytics with per-node numpy results (native, on the cached snapshot).
from arborvane.analytics import (
    average_clustering,
    betweenness_centrality,
    bfs_distances,
    clustering,
    component_labels,
    core_number,
    transitivity,
)

__all__ = [
    "IntGraphCore",
    "from_networkx",
    "to_networkx",
    "node_array",
    "degree_array",
    "edge_array",
    "pagerank_array",
    "from_arrays",
    "to_scipy_sparse",
    "from_scipy_sparse",
    "read_edgelist",
    "write_edgelist",
    "save",
    "load",
    "component_labels",
    "bfs_distances",
    "core_number",
    "clustering",
    "average_clustering",
    "transitivity",
    "betweenness_centrality",
]
