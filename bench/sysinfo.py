"""Machine and library facts printed with every result."""
from __future__ import annotations

import os
import platform
import subprocess
from importlib import metadata

DISTRIBUTIONS = {
    "arborvane": "arborvane",
    "networkx": "networkx",
    "igraph": "igraph",
    "rustworkx": "rustworkx",
    "networkit": "networkit",
    "numpy": "numpy",
}


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.lower().startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def usable_cores() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


def memory_total_bytes() -> int | None:
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemTotal:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return None


def source_revision() -> str | None:
    """Commit of the checkout the benchmark runs from, when it is a git checkout."""
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    try:
        out = subprocess.run(["git", "-C", root, "rev-parse", "--short", "HEAD"],
                             capture_output=True, text=True, timeout=10)
        return out.stdout.strip() or None
    except (OSError, subprocess.SubprocessError):
        return None


def installed_version(dist: str) -> str | None:
    try:
        return metadata.version(dist)
    except metadata.PackageNotFoundError:
        return None


def describe() -> dict:
    return {
        "cpu": cpu_model(),
        "cores": usable_cores(),
        "memory_bytes": memory_total_bytes(),
        "os": f"{platform.system()} {platform.release()}",
        "python": platform.python_version(),
        "revision": source_revision(),
        "versions": {name: installed_version(dist) for name, dist in DISTRIBUTIONS.items()},
    }
