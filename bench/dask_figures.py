"""Figures for arborvane.dask against the single-process functions.

Writes a seeded random graph (G(n, m): every edge joins two uniform random
ids, so hash partitions cut most edges, the costly case) as 16 edge-list
files, then for 1, 2 and 4 partitions on a LocalCluster with one worker
process per partition (one thread each) reports:

- the time per PageRank iteration (median of the intervals between
  iterations as the client sees them), against pagerank_array's on one
  process (its whole run divided by its iterations);
- the bytes moved per iteration: the share payload arborvane.dask counts,
  and what the workers sent each other (Dask's transfer log, by task name);
- the memory of every worker: its resident size before loading, after
  building the partitions and after PageRank, and its peak.

    PYTHONPATH=build/<name>/pkg python3 bench/dask_figures.py [--nodes N] [--edges M] [--iterations K] [--json]
"""

import argparse
import json
import os
import statistics
import sys
import tempfile
import time

import numpy as np


def rss_mib():
    import psutil

    return psutil.Process().memory_info().rss / 2**20


def peak_mib():
    """Peak resident size (VmHWM: ru_maxrss would include the peak of the
    process that started the worker)."""
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:")) / 1024


def sent_bytes(dask_worker):
    """Bytes this worker has sent to other workers, by task name."""
    from dask.utils import key_split

    sent = {}
    for transfer in dask_worker.transfer_outgoing_log:
        for key, size in transfer["keys"].items():
            sent[key_split(key)] = sent.get(key_split(key), 0) + size
    return sent


def total_sent(client):
    out = {}
    for sent in client.run(sent_bytes).values():
        for name, size in sent.items():
            out[name] = out.get(name, 0) + size
    return out


def write_edges(directory, nodes, edges, files, seed):
    import arborvane

    rng = np.random.default_rng(seed)
    u = rng.integers(0, nodes, edges)
    v = rng.integers(0, nodes, edges)
    for i, chunk in enumerate(np.array_split(np.arange(edges), files)):
        arborvane.write_edgelist(arborvane.from_arrays(u[chunk], v[chunk]), os.path.join(directory, f"{i:02}.txt"))
    return arborvane.from_arrays(u, v)


def single_process(g, iterations):
    import arborvane

    arborvane.pagerank_array(g, max_iter=1)  # the snapshot, built once
    start = time.perf_counter()
    arborvane.pagerank_array(g, max_iter=iterations, tol=0.0)
    return (time.perf_counter() - start) / iterations


def distributed_run(directory, partitions, iterations):
    import dask
    import distributed

    import arborvane.dask as ad

    quiet = {"distributed.worker.memory.target": False, "distributed.worker.memory.spill": False,
             "distributed.worker.memory.pause": False, "distributed.worker.memory.terminate": False,
             "distributed.scheduler.work-stealing": False}
    with dask.config.set(quiet), distributed.LocalCluster(
        n_workers=partitions, threads_per_worker=1, dashboard_address=":0", memory_limit=0
    ) as cluster, distributed.Client(cluster) as client:
        memory = {"start": client.run(rss_mib)}
        start = time.perf_counter()
        graph = ad.read_edgelists(directory, partitions=partitions)
        distributed.wait(graph.futures)
        build = time.perf_counter() - start
        memory["built"] = client.run(rss_mib)
        stored = sum(sum(c) for c in graph._each("edges", ad._edge_count))
        stamps = []
        sent_before = total_sent(client)
        start = time.perf_counter()
        result = ad.pagerank(
            graph, max_iter=iterations, tol=0.0, callback=lambda k, change: stamps.append(time.perf_counter())
        )
        total = time.perf_counter() - start
        sent = {k: v - sent_before.get(k, 0) for k, v in total_sent(client).items()}
        sent = {k: v for k, v in sent.items() if v}
        memory["pagerank"] = client.run(rss_mib)
        memory["peak"] = client.run(peak_mib)
        result.scores.to_parquet(os.path.join(directory, f"pagerank-{partitions}"))
        graph.release()
    steps = [b - a for a, b in zip(stamps, stamps[1:])]
    return {
        "partitions": partitions,
        "build_s": build,
        "pagerank_s": total,
        "iteration_s": statistics.median(steps),
        "payload_bytes_per_iteration": result.bytes_per_iteration,
        "sent_bytes_per_iteration": sum(sent.values()) / iterations,
        "sent_by_task": sent,
        # What the workers' resident size grew by in the build, and the
        # edges they store (a crossing edge counts in both of its partitions).
        "built_mib": sum(memory["built"].values()) - sum(memory["start"].values()),
        "stored_edges": stored,
        "memory_mib": {k: sorted(round(x) for x in v.values()) for k, v in memory.items()},
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--nodes", type=int, default=1_000_000)
    parser.add_argument("--edges", type=int, default=4_000_000)
    parser.add_argument("--iterations", type=int, default=20)
    parser.add_argument("--partitions", default="1,2,4")
    parser.add_argument("--json", action="store_true")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as directory:
        before = rss_mib()
        g = write_edges(directory, args.nodes, args.edges, 16, seed=20240611)
        single = single_process(g, args.iterations)
        single_mib = rss_mib() - before
        m = g.number_of_edges()
        del g
        runs = [distributed_run(directory, int(p), args.iterations) for p in args.partitions.split(",")]
    report = {"nodes": args.nodes, "edges": m, "load": os.getloadavg(), "single_iteration_s": single,
              "single_graph_mib": single_mib, "runs": runs}
    if args.json:
        json.dump(report, sys.stdout, indent=1)
        return
    print(f"G(n={args.nodes:,}, m={m:,}); load average {report['load'][0]:.1f} on {os.cpu_count()} CPUs")
    print(f"single process: {single * 1e3:.1f} ms per iteration, graph + snapshot {single_mib:.0f} MiB")
    print("| partitions | ms / iteration | payload B / iteration | sent B / iteration | B / edge / iteration"
          " | build s | B / stored edge | worker MiB: start, built, after PageRank, peak |")
    print("|---|---|---|---|---|---|---|---|")
    for r in runs:
        mem = r["memory_mib"]
        print(f"| {r['partitions']} | {r['iteration_s'] * 1e3:.1f} | {r['payload_bytes_per_iteration']:,} "
              f"| {r['sent_bytes_per_iteration']:,.0f} | {r['sent_bytes_per_iteration'] / m:.2f} | {r['build_s']:.1f} "
              f"| {r['built_mib'] * 2**20 / r['stored_edges']:.0f} "
              f"| {mem['start']}, {mem['built']}, {mem['pagerank']}, {mem['peak']} |")
    for r in runs:
        print(f"sent with {r['partitions']} partitions, by task: {r['sent_by_task']}")


if __name__ == "__main__":
    main()
