"""A user's script that touches every public name of arborvane, for
`mypy --strict` (tools/check_stubs.sh) and run by tests/test_package.py.
A new public name needs a line here: test_package checks that every name in
arborvane.__all__ appears."""

from __future__ import annotations

import importlib
import os
import sys
import tempfile

import numpy as np
from numpy.typing import NDArray

import arborvane
from arborvane import IntGraphCore, from_arrays, pagerank_array


def build() -> IntGraphCore:
    g: IntGraphCore = from_arrays(np.array([1, 2, 3, 3]), np.array([2, 3, 1, 4]))
    wg: arborvane.Graph = from_arrays(np.array([1]), np.array([2]), np.array([0.5]))
    dg: arborvane.Graph = from_arrays(np.array([1]), np.array([2]), directed=True)
    assert wg.weighted and dg.directed
    g.add_edge(4, 5)
    return g


def main() -> None:
    version: str = arborvane.__version__
    previous: int = arborvane.get_num_threads()
    arborvane.set_num_threads(2)
    g = build()
    ids: NDArray[np.int64] = arborvane.node_array(g)
    degrees: NDArray[np.int64] = arborvane.degree_array(g)
    edges: NDArray[np.int64] = arborvane.edge_array(g)
    ranked, scores = pagerank_array(g, damping=0.85)
    labels: NDArray[np.int64] = arborvane.component_labels(g)[1]
    hops: NDArray[np.int64] = arborvane.bfs_distances(g, 1)[1]
    cores: NDArray[np.int64] = arborvane.core_number(g)[1]
    local: NDArray[np.float64] = arborvane.clustering(g)[1]
    average: float = arborvane.average_clustering(g) + arborvane.transitivity(g)
    between: NDArray[np.float64] = arborvane.betweenness_centrality(g, k=2, seed=1)[1]
    central: NDArray[np.float64] = arborvane.degree_centrality(g)[1]
    weighted: arborvane.Graph = arborvane.from_edges([1, 2], [2, 3], [0.5, 2.0], directed=True)
    undirected = arborvane.from_edges([1, 2, 3], [2, 3, 1])
    graph_cores: NDArray[np.int64] = undirected.core_number()[1] + undirected.triangles()[1]
    count: int = undirected.triangle_count() + int(undirected.connected_components()[1].max())
    ratio: float = undirected.transitivity() + undirected.average_clustering() + float(undirected.clustering()[1][0])
    centrality: NDArray[np.float64] = weighted.clustering(weighted=True)[1] + weighted.betweenness_centrality()[1]
    try:
        pagerank_array(g, max_iter=1, tol=1e-300)
    except arborvane.PowerIterationFailedConvergence:
        pass
    if _have("pandas"):
        frame = importlib.import_module("pandas").DataFrame({"source": [1, 2], "target": [2, 3]})
        weighted = arborvane.from_pandas_edgelist(frame)
    with tempfile.TemporaryDirectory() as folder:
        arborvane.write_edgelist(g, os.path.join(folder, "g.txt"))
        again: IntGraphCore = arborvane.read_edgelist(os.path.join(folder, "g.txt"))
        arborvane.save(again, os.path.join(folder, "g.bin"))
        loaded: IntGraphCore = arborvane.load(os.path.join(folder, "g.bin"))
    if "scipy" in sys.modules or _have("scipy"):
        matrix, order = arborvane.to_scipy_sparse(g)
        loaded = arborvane.from_scipy_sparse(matrix, order)
    if _have("networkx"):
        loaded = arborvane.from_networkx(arborvane.to_networkx(g))
    _, groups = arborvane.louvain_communities(g, seed=1)
    _, refined = arborvane.leiden_communities(g, resolution=1.0, seed=1)
    _, spread = arborvane.label_propagation_communities(g, seed=1)
    quality: float = arborvane.modularity(g, groups) + arborvane.modularity(g, refined) + arborvane.modularity(g, spread)
    undirected = arborvane.from_edges([1, 2], [2, 3], [0.5, 2.0])
    _, heavy = arborvane.leiden_communities(undirected, seed=1, weight=True)
    quality += arborvane.modularity(undirected, heavy, weight=False)
    arborvane.set_num_threads(previous)
    print(version, len(ids), int(degrees.sum()), edges.shape, ranked.shape, float(scores.sum()),
          int(labels.max()), int(hops.max()), int(cores.max()), float(local.sum()), average,
          float(between.sum()), float(central.sum()), quality, weighted.number_of_nodes(), len(loaded))


def _have(module: str) -> bool:
    import importlib.util

    return importlib.util.find_spec(module) is not None


if __name__ == "__main__":
    main()
