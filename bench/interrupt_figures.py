"""How soon a long call ends after Ctrl-C.

Builds one graph, then for each long call arms a SIGALRM whose handler
raises KeyboardInterrupt (what Ctrl-C's handler does), starts the call and
measures the time from the signal to the exception reaching Python. Medians
over several tries, for the thread count in RAYON_NUM_THREADS.

    PYTHONPATH=build/<name>/pkg python3 bench/interrupt_figures.py [--n N] [--m M] [--tries T]
"""

import argparse
import signal
import statistics
import time

from arborvane import IntGraphCore

fired_at = 0.0


def on_alarm(signum, frame):
    global fired_at
    fired_at = time.perf_counter()
    raise KeyboardInterrupt


def latency(call, after):
    signal.setitimer(signal.ITIMER_REAL, after)
    try:
        call()
    except KeyboardInterrupt:
        return time.perf_counter() - fired_at
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
    return None  # finished before the signal


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--m", type=int, default=10_000_000)
    parser.add_argument("--tries", type=int, default=5)
    args = parser.parse_args()
    signal.signal(signal.SIGALRM, on_alarm)

    g = IntGraphCore()
    g.build_random(args.n, args.m, 1)
    calls = {
        "pagerank": lambda: g.pagerank(max_iter=10**9, tol=0.0),
        "triangle_count (snapshot build included)": lambda: (g.add_node(-1), g.triangle_count()),
        "build_random (another graph)": lambda: IntGraphCore().build_random(args.n, args.m, 2),
        "add_edges_flat (conversion of a range)": lambda: IntGraphCore().add_edges_flat(range(10**12)),
        "subgraph_edge_count (conversion of a range)": lambda: g.subgraph_edge_count(range(10**11)),
    }
    for name, call in calls.items():
        found = [latency(call, 0.3 + 0.05 * k) for k in range(args.tries)]
        measured = [x for x in found if x is not None]
        if not measured:
            print(f"{name}: finished before the signal every time")
            continue
        print(f"{name}: median {statistics.median(measured) * 1e3:.1f} ms, "
              f"max {max(measured) * 1e3:.1f} ms over {len(measured)} tries")


if __name__ == "__main__":
    main()
