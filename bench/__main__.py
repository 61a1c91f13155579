"""Runner: ``python -m bench [--quick] [--sizes ...] [--libs ...] [--threads ...]``.

For every size it generates the seeded data once, then starts one worker process per
library and thread setting, collects their results, cross-checks the answers, and
writes a JSON file and a Markdown table (optionally into docs/benchmarks.md).
"""
from __future__ import annotations

import argparse
import datetime as dt
import json
import os
import shlex
import shutil
import subprocess
import sys
import time

from . import datasets, report, sysinfo
from .adapters import ALL_SOURCES, LIBRARIES, WORKLOADS, adapter_for

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RESULTS = os.path.join(ROOT, "bench", "results")
THREAD_VARIABLES = ("RAYON_NUM_THREADS", "OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS")


def _csv(text: str) -> list[str]:
    return [part.strip() for part in text.split(",") if part.strip()]


def parse_args(argv: list[str]) -> argparse.Namespace:
    cores = sysinfo.usable_cores()
    p = argparse.ArgumentParser(prog="python -m bench", description=__doc__.split("\n\n")[1])
    p.add_argument("--quick", action="store_true",
                   help="small size only, short limits: a smoke run of a minute or two")
    p.add_argument("--sizes", type=_csv, help=f"comma list from {', '.join(datasets.SIZES)} "
                   "(default small,medium; --quick: small)")
    p.add_argument("--libs", type=_csv, default=list(LIBRARIES), help="comma list (default: all)")
    p.add_argument("--threads", type=_csv, default=[str(cores), "1"] if cores > 1 else ["1"],
                   help=f"thread counts for libraries that use threads (default {cores},1)")
    p.add_argument("--workloads", type=_csv, default=list(WORKLOADS),
                   help="comma list (default: all): " + ", ".join(WORKLOADS))
    p.add_argument("--repeats", type=int, default=3, help="timed runs after the warm-up (default 3)")
    p.add_argument("--slow-s", type=float, help="a warm-up longer than this is the only run "
                   "(default 10; --quick: 2)")
    p.add_argument("--max-workload-s", type=float, default=120.0,
                   help="skip a workload whose time, projected from the previous size, exceeds this")
    p.add_argument("--worker-timeout", type=float, help="seconds per worker process "
                   "(default 1800; --quick: 90)")
    p.add_argument("--seed", type=int, default=datasets.SEED)
    p.add_argument("--json", default=os.path.join(RESULTS, "latest.json"), help="JSON output path")
    p.add_argument("--markdown", default=os.path.join(RESULTS, "latest.md"), help="Markdown output path")
    p.add_argument("--update-docs", nargs="?", const=report.DOCS_PAGE, metavar="PATH",
                   help="replace the tables of the documentation's benchmark page (or of PATH)")
    p.add_argument("--data-dir", default=os.path.join(RESULTS, "data"), help="cache for generated graphs")
    p.add_argument("--keep-work", action="store_true",
                   help="keep the workers' score files (needed by a later --merge for the PageRank check)")
    p.add_argument("--merge", metavar="JSON",
                   help="take the results of libraries and sizes not run now from this earlier JSON file")
    p.add_argument("--report-only", metavar="JSON",
                   help="measure nothing: rewrite the Markdown (and the page with --update-docs) from JSON")
    args = p.parse_args(argv)
    args.sizes = args.sizes or (["small"] if args.quick else ["small", "medium"])
    args.slow_s = args.slow_s if args.slow_s is not None else (2.0 if args.quick else 10.0)
    args.worker_timeout = args.worker_timeout or (90.0 if args.quick else 1800.0)
    for name in args.sizes:
        if name not in datasets.SIZES:
            p.error(f"unknown size {name!r}")
    for name in args.libs:
        if name not in LIBRARIES:
            p.error(f"unknown library {name!r}")
    for name in args.workloads:
        if name not in WORKLOADS:
            p.error(f"unknown workload {name!r}")
    try:
        args.threads = sorted({int(t) for t in args.threads}, reverse=True)
    except ValueError:
        p.error("--threads takes integers")
    return args


def log(msg: str) -> None:
    print(msg, file=sys.stderr, flush=True)


def worker_env(threads: int) -> dict:
    env = dict(os.environ)
    for var in THREAD_VARIABLES:
        env[var] = str(threads)
    path = env.get("PYTHONPATH", "")
    env["PYTHONPATH"] = ROOT + (os.pathsep + path if path else "")
    return env


def run_worker(spec: dict, timeout: float) -> dict:
    started = time.perf_counter()
    note = None
    try:
        proc = subprocess.run([sys.executable, "-m", "bench.worker", json.dumps(spec)],
                              env=worker_env(spec["threads"]), cwd=ROOT, timeout=timeout,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        if proc.returncode != 0:
            tail = (proc.stderr or "").strip().splitlines()[-3:]
            note = f"worker exited with status {proc.returncode}: " + " | ".join(tail)
    except subprocess.TimeoutExpired:
        note = f"worker stopped after the {timeout:.0f} s limit"
    try:
        with open(spec["result_path"]) as f:
            result = json.load(f)
    except (OSError, ValueError):
        result = {"lib": spec["lib"], "size": spec["size"], "threads": spec["threads"],
                  "status": "failed", "workloads": {}}
    if note:
        result["status"] = "failed" if result.get("status") != "done" else result["status"]
        result["note"] = note
    result["wall_s"] = time.perf_counter() - started
    return result


# Workloads with every node a source cost about nodes x edges: arborvane's
# undirected betweenness at small (10,000 x 50,000) takes seconds, so this
# bound, 10 times that, keeps them to a minute or so per library and skips
# them from medium (200,000 x 2,000,000) up, even without a smaller size run before.
ALL_SOURCES_MAX_WORK = 5_000_000_000


def projected_skips(history: dict, lib: str, threads: int, size: datasets.Size, limit: float) -> dict:
    """Workloads whose single run, scaled from the last size measured, would exceed `limit`,
    and those with every node a source on a graph above ALL_SOURCES_MAX_WORK."""
    skips = {}
    for key in WORKLOADS:
        if key in ALL_SOURCES and size.nodes * size.edges > ALL_SOURCES_MAX_WORK:
            skips[key] = f"every node a source: {size.nodes:,} x {size.edges:,} is above the harness's bound"
            continue
        past = history.get((lib, threads, key))
        if not past:
            continue
        seconds, edges, nodes = past
        scale = 1.0 if key == "membership" else size.edges / edges  # membership: fixed query count
        if key in ALL_SOURCES:
            scale *= size.nodes / nodes
        if seconds * scale > limit:
            at = f"{nodes:,} nodes x {edges:,} edges" if key in ALL_SOURCES else f"{edges:,} edges"
            skips[key] = f"projected {seconds * scale:.0f} s per run from {seconds:.1f} s at {at}"
    return skips


def _remember(history: dict, runs: list[dict]) -> None:
    """Note each workload's warm-up time, for projecting the next size's cost."""
    for run in runs:
        size = datasets.SIZES[run["size"]]
        for key, entry in run.get("workloads", {}).items():
            if entry.get("status") == "ok":
                history[(run["lib"], run["threads"], key)] = (entry["warmup_s"], size.edges, size.nodes)


def _merge_size(doc: dict, earlier: dict, size_name: str, libs_run: list[str]) -> None:
    """Copy an earlier run's results for the libraries not run now at this size."""
    for run in earlier["runs"]:
        if run["size"] == size_name and run["lib"] not in libs_run:
            doc["runs"].append(dict(run, merged_from=run.get("merged_from") or earlier["meta"]["date"]))


def write_reports(doc: dict, args: argparse.Namespace) -> None:
    text = report.markdown(doc)
    os.makedirs(os.path.dirname(os.path.abspath(args.markdown)), exist_ok=True)
    with open(args.markdown, "w") as f:
        f.write(text)
    print(text)
    log(f"wrote {args.markdown}")
    if args.update_docs:
        if report.update_page(args.update_docs, text):
            log(f"updated the benchmark tables of {args.update_docs}")
        else:
            log(f"{args.update_docs}: no {report.TABLES_START} ... {report.TABLES_END} markers; not changed")


def main(argv: list[str] | None = None) -> int:
    args = parse_args(sys.argv[1:] if argv is None else argv)
    if args.report_only:
        with open(args.report_only) as f:
            write_reports(json.load(f), args)
        return 0
    meta = sysinfo.describe()
    meta.update(date=dt.datetime.now(dt.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
                command="python -m bench " + " ".join(shlex.quote(a) for a in (argv or sys.argv[1:])),
                threads=args.threads, repeats=args.repeats, slow_s=args.slow_s, seed=args.seed,
                quick=args.quick, load_average_start=list(os.getloadavg()))
    doc = {"meta": meta, "sizes": {}, "runs": [], "checks": {}}
    earlier = None
    if args.merge:
        with open(args.merge) as f:
            earlier = json.load(f)
        meta["merged_from"] = {"file": args.merge, "date": earlier["meta"]["date"]}
    work_root = os.path.join(RESULTS, "work", str(os.getpid()))
    history: dict = {}
    if earlier is not None:
        _remember(history, sorted(earlier["runs"], key=lambda r: earlier["sizes"][r["size"]]["m"]))
    started = time.perf_counter()

    for size_name in args.sizes:
        size = datasets.SIZES[size_name]
        t0 = time.perf_counter()
        data_path = datasets.ensure(args.data_dir, size, args.seed)
        data = datasets.load(data_path)
        doc["sizes"][size_name] = {"nodes_nominal": size.nodes, "edges_nominal": size.edges,
                                   "kind": size.kind, "label": size.describe(),
                                   "n": data["n"], "m": int(data["u"].size),
                                   "bfs": [int(x) for x in data["bfs"]], "hits": data["hits"]}
        del data
        log(f"[{size_name}] data ready ({time.perf_counter() - t0:.1f} s): {data_path}")

        for lib in args.libs:
            adapter = adapter_for(lib)
            if not size.peers and lib not in ("arborvane", "networkit"):
                doc["runs"].append({"lib": lib, "size": size_name, "threads": args.threads[0],
                                    "status": "skipped", "note": "not run at this size (too slow or too large)",
                                    "workloads": {}, "multithreaded": False})
                continue
            if lib == "networkx" and not size.networkx:
                doc["runs"].append({"lib": lib, "size": size_name, "threads": args.threads[0],
                                    "status": "skipped", "note": "not run at this size (too slow)",
                                    "workloads": {}, "multithreaded": False})
                continue
            for threads in (args.threads if adapter.multithreaded else [1]):
                out_dir = os.path.join(work_root, f"{size_name}-{lib}-t{threads}")
                os.makedirs(out_dir, exist_ok=True)
                spec = {"lib": lib, "size": size_name, "threads": threads, "data_path": data_path,
                        "seed": args.seed, "out_dir": out_dir,
                        "result_path": os.path.join(out_dir, "result.json"),
                        "repeats": args.repeats, "slow_s": args.slow_s, "workloads": args.workloads,
                        "skip": projected_skips(history, lib, threads, size, args.max_workload_s)}
                log(f"[{size_name}] {lib}, {threads} thread(s) ...")
                result = run_worker(spec, args.worker_timeout)
                result["multithreaded"] = adapter.multithreaded
                doc["runs"].append(result)
                _remember(history, [result])
                status = result.get("status")
                log(f"[{size_name}] {lib}, {threads} thread(s): {status} in {result['wall_s']:.1f} s"
                    + (f" ({result['note']})" if result.get("note") else ""))
        if earlier is not None:
            _merge_size(doc, earlier, size_name, args.libs)
        doc["checks"][size_name] = report.cross_checks(doc, size_name)

    if earlier is not None:
        for size_name in earlier["sizes"]:
            if size_name not in doc["sizes"]:
                doc["sizes"][size_name] = earlier["sizes"][size_name]
                _merge_size(doc, earlier, size_name, [])
                doc["checks"][size_name] = report.cross_checks(doc, size_name)

    versions = {r["lib"]: r["version"] for r in doc["runs"] if r.get("version")}
    meta["versions"] = {**{k: v for k, v in meta["versions"].items() if v}, **versions}
    meta["elapsed_s"] = time.perf_counter() - started
    meta["load_average_end"] = list(os.getloadavg())
    if not args.keep_work:
        shutil.rmtree(work_root, ignore_errors=True)

    doc["sizes"] = dict(sorted(doc["sizes"].items(), key=lambda item: item[1]["m"]))
    os.makedirs(os.path.dirname(os.path.abspath(args.json)), exist_ok=True)
    with open(args.json, "w") as f:
        json.dump(doc, f, indent=1)
    log(f"wrote {args.json} ({meta['elapsed_s']:.0f} s in all)")
    write_reports(doc, args)
    failed = [c for checks in doc["checks"].values() for c in checks if not c["ok"]]
    if failed:
        log("CHECK MISMATCH: " + "; ".join(f"{c['size']} {c['workload']}: {c['detail']}" for c in failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
