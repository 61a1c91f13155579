"""The seeded graphs and query sets that every library is measured on.

A size's data are generated once by the runner and stored as one ``.npz`` file that
each worker process loads, so all libraries see byte-identical inputs.
"""
from __future__ import annotations

import os
from dataclasses import dataclass

import numpy as np

SEED = 20240611
MEMBERSHIP_PAIRS = 1_000_000


POWER_LAW_EXPONENT = 2.1
# Chung-Lu weights (i + offset)^(-1/(exponent - 1)): the offset caps the hubs.
# With 15 the largest expected degree of the 1,000,000 / 10,000,000 graph is
# about 70,000, and the degrees below follow the power law.
POWER_LAW_OFFSET = 15
DISTANCE_PAIRS = 20
HYPERBOLIC_EXPONENT = 2.5  # of the hyperbolic graphs' power-law degrees


@dataclass(frozen=True)
class Size:
    name: str
    nodes: int
    edges: int
    networkx: bool  # NetworkX is far too slow (and large) for the biggest graphs
    # "uniform": G(n, m); "powerlaw": Chung-Lu, exponent 2.1; "grid": a road-like grid with ids
    # in row order; "hyperbolic": an internet-like random hyperbolic graph (NetworKit's generator)
    # with ids in angular order. The last two have local ids: a node's neighbours' ids lie near its own.
    kind: str = "uniform"
    peers: bool = True  # False: only arborvane and NetworKit are run by default

    def describe(self) -> str:
        if self.kind == "powerlaw":
            return (f"Chung-Lu power law, exponent {POWER_LAW_EXPONENT}, n = {self.nodes:,}, "
                    f"m = {self.edges:,}")
        if self.kind == "grid":
            return f"grid of n = {self.nodes:,} with m = {self.edges:,} of its edges, ids in row order"
        if self.kind == "hyperbolic":
            return (f"random hyperbolic graph, exponent {HYPERBOLIC_EXPONENT}, n = {self.nodes:,}, "
                    f"m about {self.edges:,}, ids in angular order")
        return f"G(n, m) with n = {self.nodes:,}, m = {self.edges:,}"


SIZES = {
    "tiny": Size("tiny", 1_000, 5_000, True),
    "small": Size("small", 10_000, 50_000, True),
    "medium": Size("medium", 200_000, 2_000_000, True),
    "large": Size("large", 1_000_000, 10_000_000, False),
    "xlarge": Size("xlarge", 16_000_000, 32_000_000, False, peers=False),
    # The graph of the row built from random 64-bit ids (graph_build_ids): 12M ids, 24M edges
    # (igraph's and rustworkx's edge lists of Python tuples alone would take some 3 GB).
    "sparse-large": Size("sparse-large", 12_000_000, 24_000_000, False, peers=False),
    # A graph on which every-source betweenness takes seconds.
    "powerlaw-tiny": Size("powerlaw-tiny", 5_000, 25_000, True, "powerlaw"),
    "powerlaw-small": Size("powerlaw-small", 10_000, 50_000, True, "powerlaw"),
    "powerlaw-medium": Size("powerlaw-medium", 200_000, 2_000_000, True, "powerlaw"),
    "powerlaw-large": Size("powerlaw-large", 1_000_000, 10_000_000, False, "powerlaw"),
    "powerlaw-xlarge": Size("powerlaw-xlarge", 16_000_000, 32_000_000, False, "powerlaw", peers=False),
    # Stand-ins for road and internet graphs, whose ids are local (community detection's rows).
    "grid-large": Size("grid-large", 1_000_000, 1_400_000, False, "grid", peers=False),
    "hyperbolic-large": Size("hyperbolic-large", 1_000_000, 10_000_000, False, "hyperbolic", peers=False),
}


def _sorted_unique(a: np.ndarray) -> np.ndarray:
    """Sorted distinct values (a plain sort: much faster than np.unique's hashing here)."""
    a = np.sort(a)
    if a.size:
        a = a[np.concatenate(([True], a[1:] != a[:-1]))]
    return a


def _power_law_ends(n: int, rng: np.random.Generator):
    """A sampler of edge ends with Chung-Lu weights over the ids, hubs at random ids."""
    weights = (np.arange(n, dtype=np.float64) + POWER_LAW_OFFSET) ** (-1.0 / (POWER_LAW_EXPONENT - 1.0))
    cumulative = np.cumsum(weights)
    cumulative /= cumulative[-1]
    label = rng.permutation(n).astype(np.int64)

    def draw(count: int) -> np.ndarray:
        at = np.searchsorted(cumulative, rng.random(count), side="right")
        return label[np.minimum(at, n - 1)]

    return draw


def ends_sampler(n: int, rng: np.random.Generator, kind: str):
    """draw(count): count edge ends below n, uniform or with power-law weights."""
    if kind == "powerlaw":
        return _power_law_ends(n, rng)

    def ends(count: int) -> np.ndarray:
        return rng.integers(0, n, count, dtype=np.int64)

    return ends


def pair_keys(n: int, ends, count: int) -> np.ndarray:
    """lo * n + hi of count drawn pairs, those of two equal ends left out."""
    u = ends(count)
    v = ends(count)
    keep = u != v
    return np.minimum(u, v)[keep] * n + np.maximum(u, v)[keep]


def _grid_keys(n: int, m: int, rng: np.random.Generator) -> np.ndarray:
    """Keys lo * n + hi of about m of the edges of a grid of n nodes (a square), ids in row order."""
    side = int(np.sqrt(n))
    cell = np.arange(side * side, dtype=np.int64).reshape(side, side)
    lo = np.concatenate([cell[:, :-1].ravel(), cell[:-1, :].ravel()])
    hi = np.concatenate([cell[:, 1:].ravel(), cell[1:, :].ravel()])
    keep = rng.random(lo.size) < m / lo.size
    return lo[keep] * n + hi[keep]


def _hyperbolic_keys(n: int, m: int, rng: np.random.Generator) -> np.ndarray:
    """Keys of the edges of NetworKit's random hyperbolic graph with n nodes and about m edges."""
    import networkit as nk

    nk.setSeed(int(rng.integers(2**31)), False)
    g = nk.generators.HyperbolicGenerator(n, 2 * m / n, HYPERBOLIC_EXPONENT, 0).generate()
    a = nk.algebraic.adjacencyMatrix(g, matrixType="sparse").tocoo()
    keep = a.row < a.col
    return a.row[keep].astype(np.int64) * n + a.col[keep].astype(np.int64)


def _distinct_pairs(n: int, m: int, rng: np.random.Generator, kind: str = "uniform") -> tuple[np.ndarray, np.ndarray]:
    """m distinct unordered pairs of distinct ids below n, in random order and orientation;
    the ends uniform, or drawn with power-law weights; or about m edges of a grid or a
    hyperbolic graph (see Size.kind)."""
    if kind in ("grid", "hyperbolic"):
        keys = (_grid_keys if kind == "grid" else _hyperbolic_keys)(n, m, rng)
        m = keys.size
        keys = rng.permutation(keys)
        u, v = keys // n, keys % n
        flip = rng.random(m) < 0.5
        return np.where(flip, v, u), np.where(flip, u, v)
    ends = ends_sampler(n, rng, kind)
    keys = np.empty(0, dtype=np.int64)
    while keys.size < m:
        keys = _sorted_unique(np.concatenate([keys, pair_keys(n, ends, int((m - keys.size) * 1.1) + 1024)]))
    keys = rng.permutation(keys)[:m]
    u, v = keys // n, keys % n
    flip = rng.random(m) < 0.5
    return np.where(flip, v, u), np.where(flip, u, v)


def _bfs_levels(n: int, u: np.ndarray, v: np.ndarray, source: int) -> np.ndarray:
    """Hop distance from source to every node (-1 when unreachable), frontier by frontier."""
    src = np.concatenate([u, v])
    dst = np.concatenate([v, u])
    order = np.argsort(src, kind="stable")
    neighbours = dst[order]
    offsets = np.searchsorted(src[order], np.arange(n + 1))
    dist = np.full(n, -1, dtype=np.int64)
    dist[source] = 0
    frontier = np.array([source], dtype=np.int64)
    level = 0
    while frontier.size:
        level += 1
        starts, ends = offsets[frontier], offsets[frontier + 1]
        lengths = ends - starts
        total = int(lengths.sum())
        if total == 0:
            break
        base = np.repeat(starts - np.cumsum(lengths) + lengths, lengths)
        reached = neighbours[base + np.arange(total)]
        reached = _sorted_unique(reached[dist[reached] < 0])
        dist[reached] = level
        frontier = reached
    return dist


def generate(size: Size, seed: int = SEED) -> dict[str, np.ndarray]:
    """Edge list, far BFS pair, random distance pairs and membership queries for one size.

    Ids are compacted so that every node 0..n-1 has at least one edge: all libraries
    then hold the same node set (ours only creates nodes that appear in an edge) and
    PageRank has no dangling node, so its scores are comparable across libraries.
    """
    rng = np.random.default_rng(seed)
    u, v = _distinct_pairs(size.nodes, size.edges, rng, size.kind)
    present = np.zeros(size.nodes, dtype=bool)
    present[u] = True
    present[v] = True
    relabel = np.cumsum(present) - 1
    n = int(present.sum())
    u, v = relabel[u].astype(np.int64), relabel[v].astype(np.int64)

    dist = _bfs_levels(n, u, v, 0)
    far = int(dist.max())
    target = int(np.flatnonzero(dist == far)[-1])

    # Half of the queries are edges (random orientation), half are uniform random pairs.
    q = MEMBERSHIP_PAIRS
    pick = rng.integers(0, u.size, q // 2)
    flip = rng.random(q // 2) < 0.5
    qa = np.concatenate([np.where(flip, v[pick], u[pick]), rng.integers(0, n, q - q // 2)])
    qb = np.concatenate([np.where(flip, u[pick], v[pick]), rng.integers(0, n, q - q // 2)])
    shuffle = rng.permutation(q)
    qa, qb = qa[shuffle], qb[shuffle]
    edge_keys = np.sort(np.minimum(u, v) * n + np.maximum(u, v))
    query_keys = np.minimum(qa, qb) * n + np.maximum(qa, qb)
    at = np.minimum(np.searchsorted(edge_keys, query_keys), edge_keys.size - 1)
    hits = int((edge_keys[at] == query_keys).sum())

    # Distance queries between uniformly random nodes (the same for every library).
    pairs = rng.integers(0, n, (DISTANCE_PAIRS, 2), dtype=np.int64)

    return {
        "pairs": pairs,
        "u": u,
        "v": v,
        "n": np.int64(n),
        "bfs": np.array([0, target, far], dtype=np.int64),
        "qa": qa.astype(np.int64),
        "qb": qb.astype(np.int64),
        "hits": np.int64(hits),
    }


def path_for(cache_dir: str, size: Size, seed: int = SEED) -> str:
    # "v2": the files also hold the random distance pairs.
    return os.path.join(cache_dir, f"{size.name}-{size.nodes}-{size.edges}-{seed}-v2.npz")


def ensure(cache_dir: str, size: Size, seed: int = SEED) -> str:
    """Generate (or reuse) the data file for a size and return its path."""
    os.makedirs(cache_dir, exist_ok=True)
    path = path_for(cache_dir, size, seed)
    if not os.path.exists(path):
        data = generate(size, seed)
        tmp = path + ".tmp.npz"
        np.savez(tmp, **data)
        os.replace(tmp, path)
    return path


def load(path: str) -> dict:
    with np.load(path) as z:
        data = {k: z[k] for k in z.files}
    for scalar in ("n", "hits"):
        data[scalar] = int(data[scalar])
    return data
