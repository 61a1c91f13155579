"""The ``arborvane`` command line: ``bench`` and ``stats``.

``arborvane bench`` builds a seeded random graph and times every analytic on
it; ``arborvane stats FILE`` reads an edge list and describes the graph.
Results go to stdout (a table, or one JSON object with ``--json``); progress
goes to stderr. Errors are one line on stderr and exit status 2.
"""

from __future__ import annotations

import argparse
import heapq
import json
import os
import platform
import random
import sys
import time
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from typing import Any

import arborvane
from arborvane import _native


EXIT_OK = 0
EXIT_USAGE = 2  # bad arguments or unreadable input, as argparse uses

PROG = "arborvane"
# The worker pool never starts more threads than this, whatever it is asked.
MAX_POOL_THREADS = 1024


class CommandError(Exception):
    """A failure reported to the user as one line, with exit status 2."""


# --------------------------------------------------------------------------
# Shared helpers: memory, progress, output


def current_rss() -> int | None:
    """Resident set size of this process in bytes, or None when unknown."""
    try:
        with open("/proc/self/statm", "rb") as statm:
            pages = int(statm.read().split()[1])
        return pages * os.sysconf("SC_PAGE_SIZE")
    except (OSError, ValueError, IndexError, AttributeError):
        pass
    try:
        import psutil  # type: ignore[import-untyped,unused-ignore]

        return int(psutil.Process().memory_info().rss)
    except Exception:
        return None


def peak_rss() -> int | None:
    """Peak resident set size of this process in bytes (since the last
    reset_peak_rss()), or None when unknown."""
    try:
        with open("/proc/self/status", "rb") as status:
            for line in status:
                if line.startswith(b"VmHWM:"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    try:
        import resource
    except ImportError:
        return None
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    return peak if sys.platform == "darwin" else peak * 1024


def reset_peak_rss() -> bool:
    """Start the peak of peak_rss() again from the current resident set size
    (Linux 4.0 and later); False where the peak cannot be reset."""
    try:
        with open("/proc/self/clear_refs", "w") as clear:
            clear.write("5")
        return True
    except OSError:
        return False


def human_bytes(n: int | None) -> str:
    if n is None:
        return "n/a"
    value = float(n)
    for unit in ("B", "KiB", "MiB", "GiB"):
        if abs(value) < 1024 or unit == "GiB":
            return f"{value:.0f} {unit}" if unit == "B" else f"{value:.1f} {unit}"
        value /= 1024
    raise AssertionError("unreachable")


class Stages:
    """Runs named stages, timing each and reporting progress on stderr.

    Native calls hold the interpreter lock while they run, so an animated
    display could not refresh during a stage; progress is redrawn when a stage
    starts and when it ends instead. On a terminal that is a rich progress
    bar; otherwise one plain line per finished stage.
    """

    def __init__(self, total: int, quiet: bool = False) -> None:
        from rich.console import Console

        self.console = Console(stderr=True, highlight=False)
        self.quiet = quiet
        self.total = total
        self.done = 0
        self.seconds: dict[str, float] = {}
        self._progress: Any = None
        self._task: Any = None

    def __enter__(self) -> Stages:
        if not self.quiet and self.console.is_terminal:
            from rich.progress import BarColumn, MofNCompleteColumn, Progress, TextColumn, TimeElapsedColumn

            self._progress = Progress(
                TextColumn("[bold]{task.description:<28}"),
                BarColumn(),
                MofNCompleteColumn(),
                TimeElapsedColumn(),
                console=self.console,
                auto_refresh=False,
                transient=True,
            )
            self._progress.start()
            self._task = self._progress.add_task("starting", total=self.total)
        return self

    def __exit__(self, *exc: object) -> None:
        if self._progress is not None:
            self._progress.stop()

    @contextmanager
    def stage(self, name: str) -> Iterator[None]:
        if self._progress is not None:
            self._progress.update(self._task, description=name)
            self._progress.refresh()
        start = time.perf_counter()
        yield
        elapsed = time.perf_counter() - start
        self.seconds[name] = elapsed
        self.done += 1
        if self._progress is not None:
            self._progress.update(self._task, advance=1)
            self._progress.refresh()
        elif not self.quiet:
            self.console.print(f"[{self.done}/{self.total}] {name}: {elapsed:.3f} s")

    def run(self, name: str, call: Callable[[], Any]) -> Any:
        with self.stage(name):
            return call()


def print_json(data: dict[str, Any]) -> None:
    sys.stdout.write(json.dumps(data, indent=2) + "\n")


def stdout_console() -> Any:
    from rich.console import Console

    return Console(highlight=False)


def environment() -> dict[str, Any]:
    from importlib import metadata

    try:
        version: str | None = metadata.version("arborvane")
    except metadata.PackageNotFoundError:
        version = None
    return {
        "arborvane": version,
        "python": platform.python_version(),
        "platform": platform.platform(terse=True),
        # What the pool uses, worked out by its own rule; the native module
        # offers no way to ask the pool itself.
        "threads": _native.arrays.worker_threads(),
    }


# --------------------------------------------------------------------------
# bench


# Stages on the full graph, in run order: the analytics and the numpy
# exports, whose results are native memory, so the peak resident size is the
# graph's and the analytics' own.
BENCH_STAGES = [
    "build_random",
    "pagerank_array",
    "triangle_count",
    "connected_component_sizes",
    "shortest_path_length",
    "subgraph_edge_count",
    "component_labels",
    "bfs_distances",
    "core_number",
    "clustering",
    "average_clustering",
    "transitivity",
    "betweenness_centrality",
    "node_array",
    "degree_array",
    "edge_array",
]
# Analytics timed when the installed arborvane has them, after the exports
# (graph -> result, seeded where the function takes a seed; modularity scores
# the first partition found).
OPTIONAL_STAGES = [
    "degree_centrality",
    "louvain_communities",
    "leiden_communities",
    "label_propagation_communities",
    "modularity",
]
# Stages whose results are Python lists (an object per node or edge), on a
# graph of --list-edges edges: at ten million edges a list of pairs alone
# takes over a gigabyte, which says nothing about the graph.
LIST_STAGES = [
    "build_random",
    "pagerank",
    "nodes",
    "edges",
    "edges_flat",
    "degree_sequence",
    "has_edges",
    "add_edges_flat",
]
# Sampled betweenness sources: a whole-graph search each, about 0.6 s per
# source at the default size on 2 cores.
BETWEENNESS_SOURCES = 8
HAS_EDGES_QUERIES = 1_000_000


def optional_analytics() -> dict[str, Callable[..., Any]]:
    """The OPTIONAL_STAGES functions that this arborvane offers."""
    import arborvane

    found = {}
    for name in OPTIONAL_STAGES:
        function = getattr(arborvane, name, None)
        if callable(function):
            found[name] = function
    if not any(name.endswith("_communities") for name in found):
        found.pop("modularity", None)  # it scores a partition: nothing to score
    return found


def call_with_seed(function: Callable[..., Any], g: Any, seed: int) -> Any:
    """function(g), with seed=seed when the function takes a seed."""
    import inspect

    try:
        seeded = "seed" in inspect.signature(function).parameters
    except (TypeError, ValueError):
        seeded = False
    return function(g, seed=seed) if seeded else function(g)


def brief(value: Any) -> Any:
    """A short JSON-able summary of an analytic's result: for ``(ids, values)``
    the node count, the largest value and, for integer values, how many
    distinct ones there are."""
    if not (isinstance(value, tuple) and len(value) == 2 and hasattr(value[1], "dtype")):
        return value if isinstance(value, (int, float)) else type(value).__name__
    import numpy as np

    values = value[1]
    summary: dict[str, Any] = {"nodes": int(values.size)}
    if values.size:
        summary["max"] = values.max().item()
        if values.dtype.kind in "iu":
            summary["distinct"] = int(np.unique(values).size)
    return summary


def run_bench(args: argparse.Namespace) -> int:
    import arborvane
    from arborvane import IntGraphCore

    n, m, seed = args.nodes, args.edges, args.seed
    results: dict[str, Any] = {}
    optional = optional_analytics()
    list_n, list_m = list_graph_size(n, m, args.list_edges)
    total = len(BENCH_STAGES) + len(optional) + (len(LIST_STAGES) if list_m else 0)
    rss_before = current_rss()
    with Stages(total, quiet=args.quiet) as stages:
        g = IntGraphCore()
        stages.run("build_random", lambda: build_random(g, n, m, seed))
        rss_graph = current_rss()
        ids, scores = stages.run("pagerank_array", lambda: arborvane.pagerank_array(g))
        results["pagerank_top_node"] = int(ids[scores.argmax()]) if ids.size else None
        results["pagerank_sum"] = float(scores.sum())
        del scores
        results["triangles"] = stages.run("triangle_count", g.triangle_count)
        sizes = stages.run("connected_component_sizes", g.connected_component_sizes)
        results["components"] = len(sizes)
        results["largest_component"] = max(sizes, default=0)
        # Endpoints drawn from the same seed, so every run asks the same question.
        rng = random.Random(seed)
        source, target = (rng.randrange(n), rng.randrange(n)) if n > 0 else (0, 0)
        length = stages.run("shortest_path_length", lambda: g.shortest_path_length(source, target))
        results["shortest_path"] = {"source": source, "target": target, "length": length}
        subset = range(0, n, subset_step(n, m, g.number_of_nodes()))
        results["subgraph_edges"] = stages.run("subgraph_edge_count", lambda: g.subgraph_edge_count(subset))
        results["component_labels"] = brief(stages.run("component_labels", lambda: arborvane.component_labels(g)))
        start = int(ids[rng.randrange(ids.size)]) if ids.size else 0
        del ids
        hops = stages.run("bfs_distances", lambda: arborvane.bfs_distances(g, start) if len(g) else None)
        results["bfs_distances"] = {"source": start, **(brief(hops) if hops else {"nodes": 0})}
        del hops
        results["core_number"] = brief(stages.run("core_number", lambda: arborvane.core_number(g)))
        results["clustering"] = brief(stages.run("clustering", lambda: arborvane.clustering(g)))
        results["average_clustering"] = stages.run("average_clustering", lambda: arborvane.average_clustering(g))
        results["transitivity"] = stages.run("transitivity", lambda: arborvane.transitivity(g))
        k = min(BETWEENNESS_SOURCES, len(g))
        between = stages.run(
            "betweenness_centrality",
            lambda: arborvane.betweenness_centrality(g, k=k, seed=seed) if k else None,
        )
        results["betweenness_centrality"] = {"sources": k, **(brief(between) if between else {})}
        del between
        for export in ("node_array", "degree_array", "edge_array"):
            stages.run(export, lambda: getattr(arborvane, export)(g))  # result dropped at once
        labels = None
        for name, function in optional.items():
            if name == "modularity":  # of the first partition found above
                results[name] = stages.run(name, lambda: function(g, labels))
                continue
            result = stages.run(name, lambda: call_with_seed(function, g, seed))
            results[name] = brief(result)
            if name.endswith("_communities") and labels is None:
                labels = result[1]
            del result
        analytics_peak = peak_rss()
        graph_size = {"nodes": g.number_of_nodes(), "edges": g.number_of_edges()}
        main_seconds = dict(stages.seconds)
        stages.seconds.clear()
        del g
        lists: dict[str, Any] = {"nodes": list_n, "edges": list_m}
        if list_m:
            lists["peak_counted_alone"] = reset_peak_rss()
            lists["results"] = bench_lists(stages, list_n, list_m, seed)
            lists["peak_rss_bytes"] = peak_rss()
            lists["seconds"] = dict(stages.seconds)
    data = {
        "command": "bench",
        "parameters": {"nodes": n, "edges": m, "seed": seed, "threads": args.threads, "list_edges": args.list_edges},
        "environment": environment(),
        "graph": graph_size,
        "memory": {
            "rss_before_bytes": rss_before,
            "rss_after_build_bytes": rss_graph,
            "graph_bytes": None if rss_before is None or rss_graph is None else rss_graph - rss_before,
            "peak_rss_bytes": analytics_peak,
        },
        "seconds": main_seconds,
        "total_seconds": sum(main_seconds.values()),
        "results": results,
        "lists": lists,
    }
    if args.json:
        print_json(data)
    else:
        print_bench_table(data)
    return EXIT_OK


def list_graph_size(n: int, m: int, list_edges: int) -> tuple[int, int]:
    """Nodes and edges of the graph for the list stages: ``list_edges`` edges
    (at most m) on a node range scaled down with them, so the graph is as
    sparse as the main one; the full range where the smaller one could not
    hold that many edges."""
    edges = min(list_edges, m)
    if edges in (0, m):
        return n, edges
    nodes = max(2, n * edges // m)
    return (nodes if edges <= nodes * (nodes - 1) // 2 else n), edges


def bench_lists(stages: Stages, n: int, m: int, seed: int) -> dict[str, Any]:
    """Times the LIST_STAGES on a new graph of m random edges among ids 0..n-1."""
    from arborvane import IntGraphCore

    results: dict[str, Any] = {}
    g = IntGraphCore()
    stages.run("build_random", lambda: build_random(g, n, m, seed))
    ranks = stages.run("pagerank", g.pagerank)
    results["pagerank_sum"] = sum(score for _, score in ranks)
    del ranks
    for export in ("nodes", "edges"):
        stages.run(export, getattr(g, export))  # result dropped at once
    flat = stages.run("edges_flat", g.edges_flat)
    stages.run("degree_sequence", g.degree_sequence)
    queries = has_edges_queries(flat, HAS_EDGES_QUERIES)
    hits = stages.run("has_edges", lambda: g.has_edges(queries))
    results["has_edges"] = {"queries": len(queries), "true": sum(hits)}
    del queries, hits
    copy = IntGraphCore()
    stages.run("add_edges_flat", lambda: copy.add_edges_flat(flat))
    results["copy_edges"] = copy.number_of_edges()
    return results


def build_random(g: Any, n: int, m: int, seed: int) -> None:
    """g.build_random(n, m, seed), with a request that the native side refuses
    (ids the node map cannot hold, more edges than can be drawn) reported as
    one error line."""
    try:
        with panic_report_withheld():
            g.build_random(n, m, seed)
    except BaseException as exc:
        if not isinstance(exc, (ValueError, OverflowError)) and not is_native_panic(exc):
            raise
        raise CommandError(f"cannot build a random graph with --nodes {n} --edges {m}: {exc}") from None


def is_native_panic(exc: BaseException) -> bool:
    """Whether `exc` is the native module's PanicException (an internal fault;
    not a public name of the module, so it is recognised by its class)."""
    kind = type(exc)
    return kind.__module__ == "arborvane._accel" and kind.__name__ == "PanicException"


@contextmanager
def panic_report_withheld() -> Iterator[None]:
    """Holds back what is written to file descriptor 2 while the block runs,
    and passes it on afterwards unless the block raised PanicException: the
    native side reports an internal fault there before raising, and the
    caller reports the same message as its one error line instead. Without a
    usable descriptor 2 nothing is held."""
    sys.stderr.flush()
    try:
        saved = os.dup(2)
    except OSError:
        yield
        return
    import tempfile

    with tempfile.TemporaryFile() as held:
        os.dup2(held.fileno(), 2)
        keep = True
        try:
            yield
        except BaseException as exc:
            keep = not is_native_panic(exc)
            raise
        finally:
            os.dup2(saved, 2)
            os.close(saved)
            if keep:
                held.seek(0)
                text = held.read()
                while text:
                    text = text[os.write(2, text):]


def subset_step(n: int, m: int, nodes: int) -> int:
    """Stride of the ids whose subgraph the bench counts: every tenth id below
    n, about a tenth of the nodes; sparser when ids 0..n-1 far outnumber the
    graph, so that this stage never lists more ids than the graph has nodes
    and edges."""
    return max(10, -(-n // (nodes + m + 1)))


def has_edges_queries(flat: list[int], count: int) -> list[tuple[int, int]]:
    """Up to ``count`` id pairs: half of them edges of the graph (from its flat
    edge list), half pairing first ends with second ends taken in reverse
    order (mostly not edges)."""
    half = min(count // 2, len(flat) // 2)
    firsts = flat[0 : 2 * half : 2]
    seconds = flat[1 : 2 * half : 2]
    return list(zip(firsts, seconds)) + list(zip(firsts, reversed(seconds)))


def print_bench_table(data: dict[str, Any]) -> None:
    console = stdout_console()
    graph, memory, env, lists = data["graph"], data["memory"], data["environment"], data["lists"]
    results = data["results"]
    console.print(
        f"arborvane bench: {graph['nodes']:,} nodes, {graph['edges']:,} edges "
        f"(seed {data['parameters']['seed']}, {env['threads']} worker threads, Python {env['python']})"
    )

    detail = {name: summary_text(results[name]) for name in results}
    detail.update({
        "build_random": f"{graph['edges']:,} edges",
        "pagerank_array": f"top node {results['pagerank_top_node']}, sum {results['pagerank_sum']:.6f}",
        "triangle_count": f"{results['triangles']:,} triangles",
        "connected_component_sizes": (
            f"{results['components']:,} components, largest {results['largest_component']:,}"
        ),
        "shortest_path_length": "{source} -> {target}: {length}".format(**results["shortest_path"]),
        "subgraph_edge_count": f"{results['subgraph_edges']:,} edges among every tenth id",
        "component_labels": f"{results['component_labels'].get('distinct', 0):,} components",
        "bfs_distances": f"from {results['bfs_distances']['source']}: farthest "
        f"{results['bfs_distances'].get('max', 0)} hops",
        "core_number": f"degeneracy {results['core_number'].get('max', 0)}",
        "betweenness_centrality": f"{results['betweenness_centrality']['sources']} sampled sources, "
        + summary_text(results["betweenness_centrality"]),
    })
    console.print(stage_table("graph and analytics", data["seconds"], data["total_seconds"], detail))
    console.print(
        f"memory: graph {human_bytes(memory['graph_bytes'])} "
        f"(RSS {human_bytes(memory['rss_after_build_bytes'])} after build_random), "
        f"peak {human_bytes(memory['peak_rss_bytes'])} with the analytics"
    )
    if "seconds" not in lists:
        return
    list_results = lists["results"]
    list_detail = {
        "build_random": f"{lists['edges']:,} edges among ids below {lists['nodes']:,}",
        "pagerank": f"sum {list_results['pagerank_sum']:.6f}",
        "has_edges": "{true:,} of {queries:,} pairs are edges".format(**list_results["has_edges"]),
        "add_edges_flat": f"reloaded {list_results['copy_edges']:,} edges into a new graph",
    }
    seconds = lists["seconds"]
    console.print(stage_table(f"Python lists, {lists['edges']:,} edges", seconds, sum(seconds.values()), list_detail))
    alone = "" if lists["peak_counted_alone"] else " (process peak: this system cannot reset it)"
    console.print(f"memory: peak {human_bytes(lists['peak_rss_bytes'])} in the list stages{alone}")


def summary_text(summary: Any) -> str:
    """One cell of text for a result that brief() summarised."""
    if isinstance(summary, float):
        return f"{summary:.6g}"
    if not isinstance(summary, dict):
        return str(summary)
    parts = [f"{summary['distinct']:,} distinct values"] if "distinct" in summary else []
    if "max" in summary:
        parts.append(f"max {summary['max']:.6g}")
    return ", ".join(parts)


def stage_table(title: str, seconds: dict[str, float], total: float, detail: dict[str, str]) -> Any:
    from rich.table import Table

    table = Table(title=title)
    table.add_column("stage")
    table.add_column("seconds", justify="right")
    table.add_column("result")
    for name, elapsed in seconds.items():
        table.add_row(name, f"{elapsed:.3f}", detail.get(name, ""))
    table.add_row("total", f"{total:.3f}", "", style="bold")
    return table


# --------------------------------------------------------------------------
# stats


def run_stats(args: argparse.Namespace) -> int:
    from arborvane import IntGraphCore, average_clustering, core_number, louvain_communities, modularity, transitivity
    from arborvane.edgelist import EdgeListError, read_edge_list

    path = args.file
    with Stages(10 if args.top > 0 else 9, quiet=args.quiet) as stages:
        try:
            edge_list = stages.run("read edge list", lambda: read_edge_list(path))
        except EdgeListError as exc:
            raise CommandError(str(exc)) from None
        g = IntGraphCore()

        def load() -> None:
            for part in edge_list.parts:
                g.add_edges_flat(part)

        stages.run("add_edges_flat", load)
        pairs, lines = edge_list.edge_count, edge_list.lines
        self_loops = stages.run("self-loops", lambda: count_self_loops(g, edge_list.parts))
        del edge_list
        sizes = stages.run("connected_component_sizes", g.connected_component_sizes)
        triangles = stages.run("triangle_count", g.triangle_count)
        cores = stages.run("core_number", lambda: core_number(g)[1])
        clustering = stages.run("average_clustering", lambda: average_clustering(g))
        global_clustering = stages.run("transitivity", lambda: transitivity(g))
        communities = stages.run("louvain_communities", lambda: louvain_communities(g, seed=STATS_SEED)[1])
        top: list[tuple[int, float]] = []
        if args.top > 0:
            ranks = stages.run("pagerank", g.pagerank)
            # Highest score first; equal scores by ascending id, so output is stable.
            top = heapq.nlargest(args.top, ranks, key=lambda item: (item[1], -item[0]))
    read_seconds = stages.seconds["read edge list"]
    data = {
        "command": "stats",
        "file": path,
        "nodes": g.number_of_nodes(),
        "edges": g.number_of_edges(),
        "self_loops": self_loops,
        "components": len(sizes),
        "largest_component": max(sizes, default=0),
        "triangles": triangles,
        "degeneracy": int(cores.max()) if cores.size else 0,
        "average_clustering": clustering,
        "transitivity": global_clustering,
        "communities": int(communities.max()) + 1 if communities.size else 0,
        "modularity": modularity(g, communities) if g.number_of_edges() else None,
        "pagerank_top": [{"node": node, "score": score} for node, score in top],
        "lines": lines,
        "pairs_read": pairs,
        "seconds": stages.seconds,
        "read_edges_per_second": pairs / read_seconds if read_seconds > 0 else None,
    }
    if args.json:
        print_json(data)
    else:
        print_stats_table(data)
    return EXIT_OK


# Seed of the Louvain run behind the communities line, so that the same
# file always shows the same communities.
STATS_SEED = 0


def count_self_loops(g: Any, parts: list[Any]) -> int:
    """Number of distinct self-loops, from the parsed ids when they are numpy
    arrays (no Python object per node), else by asking the graph."""
    if parts and type(parts[0]).__module__ == "numpy":
        import numpy as np

        loops = [part[0::2][part[0::2] == part[1::2]] for part in parts]
        return int(np.unique(np.concatenate(loops)).size)
    nodes = g.nodes()
    return int(g.has_edges(list(zip(nodes, nodes))).count(True))


def print_stats_table(data: dict[str, Any]) -> None:
    from rich.table import Table

    console = stdout_console()
    table = Table(title=data["file"], show_header=False)
    table.add_column("measure")
    table.add_column("value", justify="right")
    rate = data["read_edges_per_second"]
    rows = [
        ("nodes", f"{data['nodes']:,}"),
        ("edges", f"{data['edges']:,}"),
        ("self-loops", f"{data['self_loops']:,}"),
        ("connected components", f"{data['components']:,}"),
        ("largest component", f"{data['largest_component']:,}"),
        ("triangles", f"{data['triangles']:,}"),
        ("degeneracy (largest core number)", f"{data['degeneracy']:,}"),
        ("average clustering", f"{data['average_clustering']:.6g}"),
        ("transitivity", f"{data['transitivity']:.6g}"),
        ("communities (Louvain)", f"{data['communities']:,}"),
        ("modularity", "n/a" if data["modularity"] is None else f"{data['modularity']:.6g}"),
        ("pairs read", f"{data['pairs_read']:,}" + (f" ({rate / 1e6:.1f} M/s)" if rate else "")),
    ]
    for label, value in rows:
        table.add_row(label, value)
    console.print(table)
    if data["pagerank_top"]:
        ranks = Table(title=f"top {len(data['pagerank_top'])} PageRank")
        ranks.add_column("#", justify="right")
        ranks.add_column("node", justify="right")
        ranks.add_column("score", justify="right")
        for i, row in enumerate(data["pagerank_top"], 1):
            ranks.add_row(str(i), str(row["node"]), f"{row['score']:.6g}")
        console.print(ranks)


# --------------------------------------------------------------------------
# Argument parsing and entry point


def non_negative(text: str) -> int:
    try:
        value = int(text.replace("_", ""))
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {text}")
    return value


def positive(text: str) -> int:
    value = non_negative(text)
    if value == 0:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


def thread_count(text: str) -> int:
    value = positive(text)
    if value > MAX_POOL_THREADS:
        raise argparse.ArgumentTypeError(f"at most {MAX_POOL_THREADS} (the worker pool's limit)")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Fast undirected integer-node graphs: benchmark and edge-list statistics.",
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {arborvane.__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    bench = commands.add_parser(
        "bench",
        help="time every analytic on a seeded random graph",
        description="Build a seeded random graph with build_random and time every analytic on it.",
    )
    bench.add_argument("--nodes", type=non_negative, default=1_000_000, metavar="N", help="node ids 0..N-1 (default 1000000)")
    bench.add_argument("--edges", type=non_negative, default=10_000_000, metavar="M", help="edges to draw (default 10000000)")
    bench.add_argument("--seed", type=non_negative, default=42, metavar="S", help="generator seed (default 42)")
    bench.add_argument(
        "--list-edges",
        type=non_negative,
        default=1_000_000,
        metavar="L",
        help="edges of the graph for the stages that return Python lists (default 1000000; 0 skips them)",
    )
    bench.add_argument(
        "--threads",
        type=thread_count,
        default=None,
        metavar="T",
        help="worker threads (sets RAYON_NUM_THREADS; default: the environment or all CPUs)",
    )
    bench.add_argument("--json", action="store_true", help="print one JSON object on stdout")
    bench.add_argument("-q", "--quiet", action="store_true", help="no progress on stderr")
    bench.set_defaults(handler=run_bench)

    stats = commands.add_parser(
        "stats",
        help="describe the graph in an edge-list file",
        description=(
            "Read an edge list (pairs of integer ids separated by whitespace or commas; "
            "lines starting with # or %% are comments; .gz/.bz2/.xz are decompressed) "
            "and print its nodes, edges, self-loops, components, triangles, Louvain communities and modularity, "
            "and top PageRank nodes."
        ),
    )
    stats.add_argument("file", metavar="FILE", help="edge-list file")
    stats.add_argument("--top", type=non_negative, default=10, metavar="K", help="PageRank nodes to list (default 10; 0 skips PageRank)")
    stats.add_argument("--json", action="store_true", help="print one JSON object on stdout")
    stats.add_argument("-q", "--quiet", action="store_true", help="no progress on stderr")
    stats.set_defaults(handler=run_stats)
    return parser


def check_bench_arguments(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    n, m = args.nodes, args.edges
    if n >= 1 << 63:
        parser.error(f"--nodes {n} does not fit in a signed 64-bit id")
    if m >= 1 << 64 or args.seed >= 1 << 64:
        parser.error("--edges and --seed must fit in 64 bits")
    if m > n * (n - 1) // 2:
        parser.error(f"--edges {m} exceeds the {n * (n - 1) // 2} distinct pairs of {n} nodes")


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command == "bench":
        check_bench_arguments(parser, args)
        if args.threads is not None:
            # The worker pool reads this once, when the first parallel call
            # creates it; nothing parallel has run yet in this process.
            os.environ["RAYON_NUM_THREADS"] = str(args.threads)
    try:
        status: int = args.handler(args)
    except CommandError as exc:
        print(f"{PROG} {args.command}: error: {exc}", file=sys.stderr)
        return EXIT_USAGE
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except MemoryError:
        print(f"{PROG} {args.command}: error: out of memory", file=sys.stderr)
        return 1
    return status


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
