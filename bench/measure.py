"""Timing and memory probes used inside a worker process."""
from __future__ import annotations

import gc
import os
import resource
import statistics
import time
from typing import Any, Callable


def rss_bytes() -> int:
    """Current resident set size of this process."""
    try:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except OSError:
        import psutil  # non-Linux fallback

        return psutil.Process().memory_info().rss


def peak_rss_bytes() -> int:
    """Highest resident set size this process has reached since it started.

    VmHWM belongs to the address space made at exec, whereas ru_maxrss carries over
    the parent's peak through fork and exec and would bill the runner's memory to
    the worker.
    """
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def _timed(call: Callable[[], Any]) -> tuple[float, float, Any]:
    # The cyclic collector is paused inside the timed region for every library alike,
    # so that a collection triggered by one library's allocations is not billed to it.
    gc.collect()
    gc.disable()
    try:
        cpu = time.process_time()
        start = time.perf_counter()
        result = call()
        return time.perf_counter() - start, time.process_time() - cpu, result
    finally:
        gc.enable()


def time_call(
    call: Callable[[], Any],
    repeats: int,
    slow_s: float,
    inspect: Callable[[Any], Any] | None = None,
) -> dict:
    """One warm-up call, then `repeats` timed calls; the median is the figure reported.

    `inspect` sees the warm-up's result (for the cross-library checks) before it is
    dropped; each timed call's result is dropped before the next call, so mutating
    workloads (builds) never hold two graphs at once. When the warm-up alone takes
    longer than `slow_s`, it is the only sample (a slow peer would otherwise eat the
    time budget); the entry then says so with ``runs`` of length 1.
    """
    warm_s, _, result = _timed(call)
    checked = inspect(result) if inspect is not None else None
    del result
    runs: list[float] = []
    cpu_runs: list[float] = []
    if warm_s > slow_s:
        runs = [warm_s]
    else:
        for _ in range(repeats):
            elapsed, cpu_s, result = _timed(call)
            del result
            runs.append(elapsed)
            cpu_runs.append(cpu_s)
    gc.collect()
    return {
        "median_s": statistics.median(runs),
        "runs_s": runs,
        # Process CPU time (all threads): on a shared machine it shows how much of the
        # wall time was spent waiting for a core.
        "cpu_median_s": statistics.median(cpu_runs) if cpu_runs else None,
        "warmup_s": warm_s,
        "check": checked,
    }
