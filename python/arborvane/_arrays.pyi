"""Type stubs for the native module ``arborvane._arrays`` (loaded from
_accel's shared library by arborvane._native). Results are NativeArray
buffers; arborvane.arrays and arborvane.files wrap them in numpy arrays."""

import sys
from typing import SupportsFloat, SupportsIndex, final

from typing_extensions import Buffer, TypeAlias

from arborvane._accel import IntGraphCore

_Float: TypeAlias = SupportsFloat | SupportsIndex

@final
class NativeArray:
    """Native memory of an arborvane result, viewed through the buffer protocol."""
    if sys.version_info >= (3, 12):
        def __buffer__(self, flags: int, /) -> memoryview: ...

def node_ids(g: IntGraphCore) -> NativeArray:
    """Node ids in nodes() order (int64)."""
def degrees(g: IntGraphCore) -> NativeArray:
    """Degrees aligned with node_ids (int64)."""
def edge_pairs(g: IntGraphCore) -> NativeArray:
    """Edges in edges() order, m x 2 (int64)."""
def pagerank_scores(
    g: IntGraphCore, damping: _Float = 0.85, max_iter: SupportsIndex = 100, tol: _Float = 1e-06
) -> tuple[NativeArray, NativeArray, bool]:
    """(ids, scores, converged) of IntGraphCore.pagerank."""
def adjacency_csr(g: IntGraphCore) -> tuple[NativeArray, NativeArray, NativeArray]:
    """(ids, indptr, indices) of the adjacency matrix."""
def graph_from_edges(u: Buffer, v: Buffer, nodes: Buffer | None) -> IntGraphCore:
    """A new IntGraphCore from int64 buffers (nodes may be None)."""
def graph_file_image(g: IntGraphCore) -> NativeArray:
    """The bytes of the graph's binary file."""
def graph_file_size(head: Buffer) -> int:
    """The file size that a graph file's header announces."""
def graph_from_file_image(image: Buffer) -> IntGraphCore:
    """A new IntGraphCore from a graph file's bytes."""
def edge_lines(pairs: Buffer) -> NativeArray:
    """Edge-list text, one 'u v' line per pair of ids."""
def worker_threads() -> int:
    """Threads that the next parallel call uses."""
def set_worker_threads(n: SupportsIndex) -> None:
    """Threads for the parallel calls from now on (0: one per CPU)."""
def component_labels(g: IntGraphCore) -> tuple[NativeArray, NativeArray]:
    """(ids, labels): components numbered in first-met order."""
def bfs_distances(g: IntGraphCore, source: SupportsIndex) -> tuple[NativeArray, NativeArray]:
    """(ids, hops from source), -1 where unreachable."""
def core_numbers(g: IntGraphCore) -> tuple[NativeArray, NativeArray]:
    """(ids, core number of every node), self-loops ignored."""
def clustering_values(g: IntGraphCore) -> tuple[NativeArray, NativeArray]:
    """(ids, local clustering coefficients)."""
def average_clustering(g: IntGraphCore) -> float:
    """Mean local clustering coefficient (0.0 without nodes)."""
def transitivity(g: IntGraphCore) -> float:
    """Three times the triangles over the connected triples."""
def betweenness_scores(
    g: IntGraphCore, k: SupportsIndex | None, seed: SupportsIndex, normalized: object
) -> tuple[NativeArray, NativeArray]:
    """(ids, betweenness) over all sources (k None) or k sampled ones."""
def degree_centrality(g: IntGraphCore) -> tuple[NativeArray, NativeArray]:
    """(ids, degree / (n - 1)), a self-loop counted twice."""
def csr_build(
    u: Buffer,
    v: Buffer,
    weights: Buffer | None,
    n: SupportsIndex,
    directed: object,
    duplicates: str,
    float32: object,
    rank: Buffer | None = None,
) -> tuple[
    tuple[NativeArray, NativeArray, NativeArray | None] | None,
    tuple[NativeArray, NativeArray, NativeArray | None] | None,
    int,
    tuple[int, int] | None,
]:
    """(rows, in_rows, edges, duplicate) of the edges u -> v (int32 or int64 codes below n, any strides; with rank: ids, each node's code rank[id]), parallel ones merged."""
def label_codes(u: Buffer, v: Buffer, nodes: Buffer | None) -> tuple[NativeArray, NativeArray]:
    """(labels, codes): the distinct values of u, v and nodes (int32 or int64, any strides; nodes may be None) ascending (int64), each value's index (int32 below 2**31 values, else int64)."""
def dense_ids(u: Buffer, v: Buffer, nodes: Buffer | None) -> tuple[NativeArray, NativeArray | None] | int | None:
    """(labels, rank) of ids in [0, 2 * count + 1024) (int32 or int64, any strides; nodes may be None): the distinct ids ascending (int64 if any array is, else int32) and each id's index among them (int64; None when no id up to the largest is missing); the least id for other ids, None for no ids."""
def csr_dijkstra(
    indptr: Buffer, indices: Buffer, weights: Buffer | None, source: SupportsIndex, target: SupportsIndex | None
) -> tuple[NativeArray, NativeArray]:
    """(dist, pred) of Dijkstra from source; target None or an index."""
def csr_bfs(indptr: Buffer, indices: Buffer, weights: Buffer | None, source: SupportsIndex) -> NativeArray:
    """Hops from source along the rows, -1 where unreachable."""
def csr_components(indptr: Buffer, indices: Buffer, weights: Buffer | None, strong: object) -> NativeArray:
    """Weak (strong false) or strong component labels."""
def csr_pagerank(
    indptr: Buffer,
    indices: Buffer,
    weights: Buffer | None,
    in_indptr: Buffer,
    in_indices: Buffer,
    in_weights: Buffer | None,
    alpha: _Float,
    max_iter: SupportsIndex,
    tol: _Float,
    p: Buffer,
    dangling: Buffer,
    x: Buffer,
) -> tuple[NativeArray, int]:
    """(scores, iterations) of NetworkX's PageRank; iterations 0: no convergence."""
def csr_component_labels(indptr: Buffer, indices: Buffer) -> NativeArray:
    """Components numbered in first-met order."""
def csr_triangles(indptr: Buffer, indices: Buffer) -> NativeArray:
    """Triangles through every node."""
def csr_triangle_count(indptr: Buffer, indices: Buffer) -> int:
    """The number of triangles."""
def csr_core_numbers(indptr: Buffer, indices: Buffer) -> NativeArray:
    """Core number of every node, self-loops ignored."""
def csr_undirected_clustering(indptr: Buffer, indices: Buffer) -> NativeArray:
    """Local clustering coefficients of the unweighted undirected graph."""
def csr_average_clustering(indptr: Buffer, indices: Buffer) -> float:
    """Mean local clustering coefficient."""
def csr_transitivity(indptr: Buffer, indices: Buffer) -> float:
    """Three times the triangles over the connected triples."""
def csr_clustering(
    indptr: Buffer,
    indices: Buffer,
    weights: Buffer | None,
    in_indptr: Buffer | None,
    in_indices: Buffer | None,
    in_weights: Buffer | None,
) -> NativeArray:
    """NetworkX's local clustering; in-rows None for an undirected graph."""
def csr_betweenness(
    indptr: Buffer, indices: Buffer, weights: Buffer | None, directed: object, normalized: object, endpoints: object
) -> NativeArray:
    """NetworkX's betweenness centrality over the rows (weights None: hops)."""
def csr_communities(
    indptr: Buffer,
    indices: Buffer,
    weights: Buffer | None,
    resolution: _Float,
    seed: SupportsIndex,
    iterations: SupportsIndex,
    leiden: object,
) -> NativeArray:
    """Louvain (leiden false) or Leiden labels of undirected rows."""
def csr_modularity(indptr: Buffer, indices: Buffer, weights: Buffer | None, labels: Buffer, resolution: _Float) -> float:
    """Weighted modularity of int64 labels over undirected rows."""
def csr_matvec(indptr: Buffer, indices: Buffer, weights: Buffer | None, x: Buffer, start: _Float) -> NativeArray:
    """start + the row sums of the weighted entries times x, in row order."""
def louvain_labels(
    g: IntGraphCore, resolution: _Float, seed: SupportsIndex, iterations: SupportsIndex
) -> tuple[NativeArray, NativeArray]:
    """(ids, Louvain community labels)."""
def leiden_labels(
    g: IntGraphCore, resolution: _Float, seed: SupportsIndex, iterations: SupportsIndex
) -> tuple[NativeArray, NativeArray]:
    """(ids, Leiden community labels)."""
def label_propagation_labels(g: IntGraphCore, seed: SupportsIndex) -> tuple[NativeArray, NativeArray]:
    """(ids, label propagation communities)."""
def modularity_value(g: IntGraphCore, labels: Buffer, resolution: _Float) -> float:
    """Modularity of int64 labels in node_ids order."""
