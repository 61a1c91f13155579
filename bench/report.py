"""Cross-library checks, the Markdown tables and the documentation's benchmark page."""
from __future__ import annotations

import os
import re

import numpy as np

from .adapters import LIBRARIES, WORKLOADS

OURS = "arborvane"
DOCS_PAGE = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "docs", "benchmarks.md")
TABLES_START = "<!-- bench:start -->"
TABLES_END = "<!-- bench:end -->"
PAGERANK_AGREEMENT = 1e-4
FLOAT_AGREEMENT = 1e-9  # relative, for clustering and betweenness figures


# ----------------------------------------------------------------------------- lookup

def _runs_for(doc: dict, size: str) -> list[dict]:
    return [r for r in doc["runs"] if r["size"] == size]


def result_for(doc: dict, size: str, lib: str, threads: int) -> dict | None:
    """A library's worker result for a thread setting; single-threaded libraries have one."""
    runs = [r for r in _runs_for(doc, size) if r["lib"] == lib]
    exact = [r for r in runs if r["threads"] == threads]
    if exact:
        return exact[0]
    single = [r for r in runs if not r.get("multithreaded", False)]
    return single[0] if single else None


def _ok(run: dict | None, key: str) -> dict | None:
    if run is None:
        return None
    entry = run.get("workloads", {}).get(key)
    return entry if entry and entry.get("status") == "ok" else None


# ----------------------------------------------------------------------------- checks

def cross_checks(doc: dict, size: str) -> list[dict]:
    """Compare every library's answer with the expected value or with ours."""
    info = doc["sizes"][size]
    expected = {
        "build_list": info["m"], "build_numpy": info["m"], "export_pairs": info["m"],
        "export_flat": info["m"], "distance": info["bfs"][2], "membership": info["hits"],
        "generate": info["edges_nominal"],
        "export_numpy": info["m"], "export_scipy": 2 * info["m"], "load_binary": info["m"],
        "read_text": info["m"], "directed_build": info["m"], "graph_build": info["m"],
        "graph_build_ids": [info["n"], info["m"]],
    }
    checks = []
    runs = [r for r in _runs_for(doc, size) if r.get("status") in ("done", "started")]

    for key, want in expected.items():
        bad, seen = [], 0
        for run in runs:
            entry = _ok(run, key)
            if entry is None:
                continue
            seen += 1
            got = entry.get("check")
            ok = got == want
            if key == "generate" and run["lib"] == "networkit":
                ok = abs(got - want) <= 5 * want ** 0.5  # G(n, p): the edge count is random
            if not ok:
                bad.append(f"{run['lib']}/{run['threads']}t got {got}")
        if seen:
            checks.append({"size": size, "workload": key, "ok": not bad,
                           "detail": f"expected {want}" + (": " + ", ".join(bad) if bad else
                                                            f", all {seen} results match")})

    for key in ("triangles", "components", "distance_pairs", "component_labels", "bfs_all", "core_number",
                "directed_bfs", "directed_weak", "directed_strong", "directed_degrees", "directed_dijkstra",
                "graph_components", "graph_triangles", "graph_cores"):
        values = [(r["lib"], r["threads"], _exact_part(_ok(r, key)["check"])) for r in runs if _ok(r, key)]
        if not values:
            continue
        ref = next((v for v in values if v[0] == OURS), values[0])
        bad = [v for v in values if v[2] != ref[2]]
        checks.append({"size": size, "workload": key, "ok": not bad, "reference": ref[0],
                       "detail": (f"all {len(values)} results equal ({_short(ref[2])})" if not bad else
                                  "; ".join(f"{b[0]}/{b[1]}t: {_short(b[2])} vs {ref[0]}: {_short(ref[2])}"
                                            for b in bad))})

    for key in ("clustering", "avg_clustering", "transitivity", "betweenness_all", "directed_dijkstra",
                "directed_clustering", "directed_clustering_weighted", "directed_betweenness",
                "directed_betweenness_weighted", "graph_clustering", "graph_clustering_weighted",
                "graph_transitivity", "graph_betweenness", "graph_betweenness_weighted"):
        values = [(r["lib"], r["threads"], _ok(r, key)["check"]["value"]) for r in runs
                  if _ok(r, key) and isinstance(_ok(r, key)["check"], dict) and "value" in _ok(r, key)["check"]]
        if not values:
            continue
        ref = next((v for v in values if v[0] == OURS), values[0])
        bad = [v for v in values if abs(v[2] - ref[2]) > FLOAT_AGREEMENT * max(abs(ref[2]), 1e-3)]
        checks.append({"size": size, "workload": key, "ok": not bad, "reference": ref[0],
                       "detail": (f"all {len(values)} results within {FLOAT_AGREEMENT:g} ({ref[2]:.12g})"
                                  if not bad else "; ".join(f"{b[0]}/{b[1]}t: {b[2]:.12g} vs {ref[0]}: {ref[2]:.12g}"
                                                            for b in bad))})

    # Our float results must be the same bits for every thread count.
    for key in WORKLOADS:
        digests = {r["threads"]: _ok(r, key)["check"]["bits"] for r in runs
                   if r["lib"] == OURS and _ok(r, key) and isinstance(_ok(r, key)["check"], dict)
                   and "bits" in _ok(r, key)["check"]}
        if len(digests) > 1:
            same = len(set(digests.values())) == 1
            checks.append({"size": size, "workload": key, "ok": same, "reference": OURS,
                           "detail": f"{OURS} bits for {', '.join(f'{t}t' for t in sorted(digests))}: "
                                     + ("identical" if same else "differ: " + str(digests))})

    scores = []
    for r in runs:
        entry = _ok(r, "pagerank")
        path = entry and entry["check"] and entry["check"].get("file")
        if path and os.path.exists(path):
            scores.append((r["lib"], r["threads"], np.load(path)))
    if scores:
        # The vectors are compared by their L1 distance after normalising each to sum
        # 1: that is what the tolerance bounds, and it holds on skewed graphs too,
        # where the libraries' stopping rules leave node-by-node differences far
        # above the average score at the hubs and far below it at the leaves.
        ref = next((s for s in scores if s[0] == OURS), scores[0])
        n = ref[2].size
        ref_norm = ref[2] / ref[2].sum()
        worst, lines = 0.0, []
        for lib, threads, vec in scores:
            diff = float(np.abs(vec / vec.sum() - ref_norm).sum()) if vec.size == n else float("inf")
            worst = max(worst, diff)
            lines.append(f"{lib}/{threads}t {diff:.1e}")
        checks.append({"size": size, "workload": "pagerank", "ok": worst < PAGERANK_AGREEMENT,
                       "reference": ref[0],
                       "detail": f"L1 distance to {ref[0]}'s scores after normalising to sum 1: "
                                 + ", ".join(lines)})
    return checks


def _exact_part(check):
    """What of a check must be equal across libraries: a float figure and the
    digest of our bits are compared apart (within a tolerance, across our
    thread settings)."""
    if isinstance(check, dict):
        return {k: v for k, v in check.items() if k not in ("value", "bits")}
    return check


def _threads(n: int) -> str:
    return "1 thread" if n == 1 else f"{n} threads"


def _short(value) -> str:
    if isinstance(value, dict) and "count" in value:
        return f"{value.get('count')} components, largest {value.get('largest')}"
    return str(value)


# ----------------------------------------------------------------------------- formatting

def fmt_seconds(s: float) -> str:
    if s < 1e-3:
        return f"{s * 1e6:.0f} µs"
    if s < 1:
        return f"{s * 1e3:.3g} ms"
    return f"{s:.3g} s"


def fmt_ratio(r: float) -> str:
    return f"×{r:.2g}" if r < 10 else f"×{r:.0f}"


def _cell(entry: dict | None, ours: float | None, fastest: float | None, value: float | None) -> str:
    if entry is None:
        return "—"
    if entry.get("status") == "skipped":
        return "skip"
    if entry.get("status") != "ok":
        return "n/a"
    text = fmt_seconds(value)
    if len(entry.get("runs_s", [])) < 3:
        text += "†"
    if fastest is not None and value <= fastest:
        text = f"**{text}**"
    if ours and value is not None and entry is not None:
        text += f" ({fmt_ratio(value / ours)})"
    return text


def _libs_in(doc: dict, size: str) -> list[str]:
    present = {r["lib"] for r in _runs_for(doc, size)}
    return [lib for lib in LIBRARIES if lib in present]


def thread_rows(doc: dict, size: str) -> list[int]:
    """Thread settings measured at this size (merged runs may differ from this run's)."""
    found = {r["threads"] for r in _runs_for(doc, size) if r.get("multithreaded")}
    return sorted(found, reverse=True) or list(doc["meta"]["threads"])


def table(doc: dict, size: str) -> list[str]:
    libs = _libs_in(doc, size)
    threads = thread_rows(doc, size)
    lines = ["| workload | threads | " + " | ".join(libs) + " |",
             "|---|---:|" + "---:|" * len(libs)]
    for key, label in WORKLOADS.items():
        for t in threads:
            entries = {lib: _ok(result_for(doc, size, lib, t), key) for lib in libs}
            raw = {lib: (result_for(doc, size, lib, t) or {}).get("workloads", {}).get(key) for lib in libs}
            times = {lib: e["median_s"] for lib, e in entries.items() if e}
            if not any(raw.values()):
                continue
            ours = times.get(OURS)
            fastest = min(times.values()) if times else None
            cells = []
            for lib in libs:
                shown = entries[lib] or raw[lib]
                cells.append(_cell(shown, ours if lib != OURS else None, fastest, times.get(lib)))
            lines.append(f"| {label} | {t} | " + " | ".join(cells) + " |")
    lines += _memory_rows(doc, size, libs)
    return lines


def _memory_rows(doc: dict, size: str, libs: list[str]) -> list[str]:
    t = thread_rows(doc, size)[0]
    mem = {lib: (result_for(doc, size, lib, t) or {}).get("memory", {}) for lib in libs}
    rows = []
    for label, field, scale, unit in (("graph memory, bytes/edge", "bytes_per_edge", 1, ""),
                                      ("peak RSS after build", "peak_rss_bytes", 2 ** -20, " MiB")):
        values = {lib: m[field] * scale for lib, m in mem.items() if field in m}
        if not values:
            continue
        ours = values.get(OURS)
        best = min(values.values())
        cells = []
        for lib in libs:
            if lib not in values:
                cells.append("n/a")
                continue
            text = f"{values[lib]:.0f}{unit}"
            if values[lib] <= best:
                text = f"**{text}**"
            if ours and lib != OURS:
                text += f" ({fmt_ratio(values[lib] / ours)})"
            cells.append(text)
        rows.append(f"| {label} | – | " + " | ".join(cells) + " |")
    return rows


def problems(doc: dict, size: str) -> list[str]:
    """Errors and skips, one line each, so a missing cell always has its reason."""
    out = []
    for run in sorted(_runs_for(doc, size), key=lambda r: (LIBRARIES.index(r["lib"]), -r["threads"])):
        if run.get("status") not in ("done",):
            out.append(f"{run['lib']} ({_threads(run['threads'])}): {run.get('note') or run.get('status')}")
        for key, entry in run.get("workloads", {}).items():
            if entry.get("status") == "error":
                out.append(f"{run['lib']} {WORKLOADS[key]} ({_threads(run['threads'])}): {entry['error']}")
            elif entry.get("status") == "skipped":
                out.append(f"{run['lib']} {WORKLOADS[key]} ({_threads(run['threads'])}): skipped, {entry['note']}")
        if "error" in run.get("memory", {}):
            out.append(f"{run['lib']}: building failed: {run['memory']['error']}")
    return out


def losses(doc: dict) -> list[dict]:
    """Every row in which some library beats ours (time or memory)."""
    out = []
    for size in sorted(doc["sizes"], key=lambda name: doc["sizes"][name]["m"]):
        libs = _libs_in(doc, size)
        for key in WORKLOADS:
            for t in thread_rows(doc, size):
                times = {lib: e["median_s"] for lib in libs
                         if (e := _ok(result_for(doc, size, lib, t), key))}
                if OURS not in times:
                    continue
                best_lib = min(times, key=times.get)
                if best_lib != OURS:
                    out.append({"size": size, "workload": key, "threads": t, "winner": best_lib,
                                "ours_s": times[OURS], "winner_s": times[best_lib],
                                "factor": times[OURS] / times[best_lib]})
        t = thread_rows(doc, size)[0]
        mem = {lib: (result_for(doc, size, lib, t) or {}).get("memory", {}).get("bytes_per_edge")
               for lib in libs}
        mem = {k: v for k, v in mem.items() if v}
        if OURS in mem and min(mem, key=mem.get) != OURS:
            best = min(mem, key=mem.get)
            out.append({"size": size, "workload": "memory", "threads": t, "winner": best,
                        "ours_s": mem[OURS], "winner_s": mem[best], "factor": mem[OURS] / mem[best]})
    return out


SCALING_WORKLOADS = ("pagerank20", "triangles", "components")


def scaling(doc: dict) -> list[str]:
    """Our nanoseconds per neighbour entry (2 per edge) at every size, uniform graphs then
    power-law ones: how the cost of each analytic grows with the graph. PageRank is the
    fixed 20-iteration run, per iteration."""
    sizes = sorted(doc["sizes"], key=lambda s: (doc["sizes"][s].get("kind", "uniform") != "uniform",
                                                 doc["sizes"][s]["m"]))
    threads = max(doc["meta"]["threads"])
    rows = []
    for size in sizes:
        run = result_for(doc, size, OURS, threads)
        entries = 2 * doc["sizes"][size]["m"]
        cells = []
        for key in SCALING_WORKLOADS:
            entry = _ok(run, key)
            per = 20 if key == "pagerank20" else 1
            if not entry:
                cells.append("–")
                continue
            cell = f"{entry['median_s'] / per / entries * 1e9:.2f}"
            if entry.get("cpu_median_s"):
                cell += f" ({entry['cpu_median_s'] / per / entries * 1e9:.2f})"
            cells.append(cell)
        if any(c != "–" for c in cells):
            info = doc["sizes"][size]
            rows.append(f"| {size} | {info['n']:,} | {info['m']:,} | " + " | ".join(cells) + " |")
    if not rows:
        return []
    return [f"Scaling: arborvane's nanoseconds per neighbour entry (two per edge), {_threads(threads)}, "
            "wall clock, median, and in brackets process CPU time (all threads) where more than one "
            "run was timed: on a shared machine the CPU figure is the steadier one. PageRank per "
            "iteration of the fixed 20-iteration run (result list included), the others per call.", "",
            "| size | nodes | edges | PageRank / iteration | triangle count | component sizes |",
            "|---|---:|---:|---:|---:|---:|", *rows, ""]


def methods_notes(doc: dict) -> list[str]:
    seen = {}
    for run in doc["runs"]:
        if run.get("methods") and run["lib"] not in seen:
            seen[run["lib"]] = run["methods"]
    lines = []
    for lib in LIBRARIES:
        if lib not in seen:
            continue
        lines.append(f"- **{lib}**: " + "; ".join(f"{WORKLOADS[k]}: {v}" for k, v in seen[lib].items()))
    return lines


def markdown(doc: dict) -> str:
    meta = doc["meta"]
    versions = ", ".join(f"{k} {v}" for k, v in meta["versions"].items() if v)
    out = [
        f"Measured {meta['date']} on {meta['cpu']}, {meta['cores']} cores"
        + (f", {meta['memory_bytes'] / 2 ** 30:.0f} GiB" if meta.get("memory_bytes") else "")
        + f", {meta['os']}, Python {meta['python']}"
        + (f", arborvane at {meta['revision']}" if meta.get("revision") else "") + ".",
        f"Versions: {versions}."
        + (f" Load average (1 min) at start {meta['load_average_start'][0]:.1f}, at end "
           f"{meta['load_average_end'][0]:.1f}: above the core count, other processes competed for "
           "the cores and wall times are inflated." if meta.get("load_average_start") and max(
               meta["load_average_start"][0], meta.get("load_average_end", [0])[0]) > meta["cores"] else ""),
        f"Command: `{meta['command']}` (install the peers with `pip install \".[bench]\"`).",
        "",
        "Each cell is the median of " + str(meta["repeats"]) + " timed runs after one warm-up, wall clock, "
        "in a fresh process per library and size; (×r) is that library's time divided by arborvane's "
        "(above 1: arborvane is faster); **bold** is the fastest in the row; † marks a single run "
        f"(warm-up over {meta['slow_s']:g} s). Thread rows: the thread count given to every library that "
        "can use threads (RAYON_NUM_THREADS, OMP_NUM_THREADS, networkit.setNumberOfThreads); NetworkX "
        "and igraph are single-threaded, so their one measurement stands in both rows. Memory: resident "
        "growth while building the graph in a fresh process (input prepared beforehand), per edge; peak "
        "RSS of that process after the build.",
        "",
    ]
    by_date: dict = {}
    for r in doc["runs"]:
        if r.get("merged_from"):
            by_date.setdefault(r["merged_from"], set()).add(f"{r['lib']} ({r['size']})")
    if by_date:
        out[4:4] = ["Results merged from earlier runs of this harness on the same data: " + "; ".join(
            f"{date}: {', '.join(sorted(libs))}" for date, libs in sorted(by_date.items())) + ".", ""]
    for size, info in sorted(doc["sizes"].items(), key=lambda item: item[1]["m"]):
        label = info.get("label") or f"G(n, m) with n = {info['nodes_nominal']:,}, m = {info['edges_nominal']:,}"
        out.append(f"#### {size}: {info['n']:,} nodes, {info['m']:,} edges ({label}, seed {meta['seed']})")
        out.append("")
        out += table(doc, size)
        out.append("")
        checks = doc.get("checks", {}).get(size, [])
        if checks:
            out.append("Checks: " + "; ".join(
                f"{WORKLOADS[c['workload']]}: {'ok' if c['ok'] else 'MISMATCH'}, {c['detail']}"
                for c in checks) + ".")
            out.append("")
        notes = problems(doc, size)
        if notes:
            out.append("Not measured: " + "; ".join(notes) + ".")
            out.append("")
    out += scaling(doc)
    lost = losses(doc)
    if lost:
        out.append("Rows where arborvane is not the fastest (or leanest):")
        out.append("")
        for row in lost:
            label = WORKLOADS.get(row["workload"], "graph memory, bytes/edge")
            if row["workload"] == "memory":
                out.append(f"- {row['size']}, {label}: {row['winner']} {row['winner_s']:.0f} vs ours "
                           f"{row['ours_s']:.0f} ({fmt_ratio(row['factor'])})")
            else:
                out.append(f"- {row['size']}, {label}, {_threads(row['threads'])}: {row['winner']} "
                           f"{fmt_seconds(row['winner_s'])} vs ours {fmt_seconds(row['ours_s'])} "
                           f"(ours {fmt_ratio(row['factor'])} slower)")
        out.append("")
    out.append("How each library does each workload:")
    out.append("")
    out += methods_notes(doc)
    return "\n".join(out) + "\n"


def update_page(path: str, section: str) -> bool:
    """Replace the text between the benchmark markers; False when the markers are missing."""
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except FileNotFoundError:
        return False
    pattern = re.compile(re.escape(TABLES_START) + r".*?" + re.escape(TABLES_END), re.S)
    if not pattern.search(text):
        return False
    text = pattern.sub(lambda _: f"{TABLES_START}\n{section}\n{TABLES_END}", text, count=1)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
    return True
