"""The number of threads the native worker pool runs, worked out in Python.

The pool sizes itself once, when the first parallel call creates it, and
offers no way to ask for its size; this module applies the same rule (kept in
step with ``configured_thread_count`` in src/accel/worker_pool.cpp) to the
current environment:

1. ``RAYON_NUM_THREADS`` when it holds a count: ASCII digits, optionally after
   one ``+``, nothing else (no spaces), below 2**64. 0 means the available
   CPUs.
2. Otherwise ``RAYON_RS_NUM_CPUS`` when it holds such a count above 0.
3. Otherwise the available CPUs: the affinity mask (else the CPU count, else
   1), lowered to a control group's CPU quota in whole CPUs (at least 1).

At most 1024 threads, whatever the environment asks for.
"""

from __future__ import annotations

import os
import re
from collections.abc import Mapping

MAX_THREADS = 1024

_COUNT = re.compile(r"\+?[0-9]+")
_LONG_LONG = re.compile(r"([+-]?[0-9]+)")
_SIZE_MAX = 2**64 - 1
_LLONG_MIN, _LLONG_MAX = -(2**63), 2**63 - 1

# Where the control-group files live; tests point these at a fake tree.
PROC_CGROUP = "/proc/self/cgroup"
CGROUP_ROOT = "/sys/fs/cgroup"


def worker_pool_size(environ: Mapping[str, str] | None = None) -> int:
    """Threads the worker pool runs (or will run) in this process, given the
    environment it was (or will be) created in."""
    env = os.environ if environ is None else environ
    count = _parse_count(env.get("RAYON_NUM_THREADS"))
    if count is None:
        count = _parse_count(env.get("RAYON_RS_NUM_CPUS"))
        if count == 0:
            count = None
    if not count:
        count = available_cpus()
    return max(1, min(count, MAX_THREADS))


def available_cpus() -> int:
    """CPUs this process may use: its affinity mask capped by a control
    group's CPU quota."""
    try:
        count = len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        count = 0
    if count == 0:
        count = os.cpu_count() or 0
    if count == 0:
        return 1
    limit = cgroup_cpu_limit()
    return count if limit is None else min(count, limit)


def _parse_count(text: str | None) -> int | None:
    if text is None or not _COUNT.fullmatch(text):
        return None
    value = int(text)
    return value if value <= _SIZE_MAX else None


def _tokens(path: str) -> list[str]:
    """The whitespace-separated words of a file; none when it cannot be read."""
    try:
        with open(path, "rb") as f:
            return f.read().decode("latin-1").split()
    except OSError:
        return []


def _stream_long_long(token: str) -> int | None:
    """A word read as a C++ stream reads a long long: its leading digits
    count; no digits, or a value out of range, fails."""
    match = _LONG_LONG.match(token)
    if not match or not _LLONG_MIN <= int(match.group(1)) <= _LLONG_MAX:
        return None
    return int(match.group(1))


def _quota_cpus(quota: int, period: int) -> int | None:
    if quota <= 0 or period <= 0:
        return None
    return max(1, quota // period)


def _strtoll(text: str) -> int | None:
    """strtoll of a whole token (None when anything is left over); out-of-range
    values saturate as strtoll's do."""
    if not _LONG_LONG.fullmatch(text):
        return None
    return min(max(int(text), _LLONG_MIN), _LLONG_MAX)


def _cgroup_v2_limit(path: str) -> int | None:
    """The lowest cpu.max quota from the process's group up to the root."""
    limit = None
    directory = path
    while True:
        tokens = _tokens(f"{CGROUP_ROOT}{directory}/cpu.max")
        if len(tokens) >= 2 and tokens[0] != "max":
            quota, period = _strtoll(tokens[0]), _stream_long_long(tokens[1])
            if quota is not None and period is not None:
                cpus = _quota_cpus(quota, period)
                if cpus is not None:
                    limit = cpus if limit is None else min(limit, cpus)
        if directory in ("", "/"):
            return limit
        slash = directory.rfind("/")
        directory = "/" if slash <= 0 else directory[:slash]


def _cgroup_v1_limit(path: str) -> int | None:
    """The quota of the v1 cpu controller: the process's group, else the
    hierarchy's root; the first place with both files decides."""
    for mount in (f"{CGROUP_ROOT}/cpu", f"{CGROUP_ROOT}/cpu,cpuacct"):
        for directory in (mount + path, mount):
            quota_words = _tokens(f"{directory}/cpu.cfs_quota_us")
            period_words = _tokens(f"{directory}/cpu.cfs_period_us")
            quota = _stream_long_long(quota_words[0]) if quota_words else None
            period = _stream_long_long(period_words[0]) if period_words else None
            if quota is not None and period is not None:
                return _quota_cpus(quota, period)
    return None


def cgroup_cpu_limit() -> int | None:
    """Whole CPUs granted by the CPU quotas of the process's control groups
    (v2, or the v1 cpu controller; a hybrid system may list both), if any."""
    try:
        with open(PROC_CGROUP, "rb") as f:
            # Paths as the file's bytes, so that open() gets them back unchanged.
            lines = os.fsdecode(f.read()).split("\n")
    except OSError:
        return None
    limit = None
    for line in lines:
        fields = line.split(":", 2)
        if len(fields) < 3:
            continue
        hierarchy, controllers, path = fields
        if hierarchy == "0" and controllers == "":
            found = _cgroup_v2_limit(path)
        elif "cpu" in controllers.split(","):
            found = _cgroup_v1_limit(path)
        else:
            continue
        if found is not None:
            limit = found if limit is None else min(limit, found)
    return limit
