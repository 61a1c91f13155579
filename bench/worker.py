"""One library, one graph size, one thread setting: the body of a worker process.

Started by the runner as ``python -m bench.worker JOB_JSON``. Results are rewritten
to the job's result file after every step, so a crash or a timeout still leaves
everything measured up to that point. No failure of a library call ends the worker:
it is recorded against its workload (an unfinished operation of ours raises
PanicException, a BaseException, hence the broad handler).
"""
from __future__ import annotations

import gc
import json
import os
import sys
import traceback

from . import datasets
from .adapters import BUILT_BY, Context, adapter_for
from .measure import peak_rss_bytes, rss_bytes, time_call

ANALYTICS = ("pagerank", "pagerank20", "triangles", "components", "distance", "distance_pairs",
             "membership", "export_pairs", "export_flat", "export_numpy", "export_scipy", "save_binary",
             "load_binary", "component_labels", "bfs_all", "core_number", "clustering", "avg_clustering",
             "transitivity", "betweenness", "betweenness_all", "communities", "communities_leiden")


def _describe(exc: BaseException) -> str:
    text = str(exc).strip().splitlines()
    return f"{type(exc).__name__}: {text[0] if text else ''}".rstrip(": ")


class Recorder:
    def __init__(self, path: str, base: dict) -> None:
        self.path = path
        self.doc = dict(base, workloads={})

    def save(self) -> None:
        tmp = self.path + ".tmp"
        with open(tmp, "w") as f:
            json.dump(self.doc, f, indent=1)
        os.replace(tmp, self.path)

    def workload(self, key: str, entry: dict) -> None:
        self.doc["workloads"][key] = entry
        self.save()


def _memory_probe(adapter, ctx: Context, rec: Recorder):
    """Build the graph once in the fresh process and measure what it keeps resident.

    The input is prepared before the baseline is read, so the figure is the growth
    caused by the build alone: graph structure plus anything the library keeps.
    """
    forms = [adapter.memory_build] + [f for f in ("build_numpy", "build_list") if f != adapter.memory_build]
    errors = []
    for form in forms:
        try:
            call, inspect = getattr(adapter, form)(ctx)
            gc.collect()
            before = rss_bytes()
            graph = call()
            gc.collect()
            after = rss_bytes()
            edges = inspect(graph)
        except KeyboardInterrupt:
            raise
        except BaseException as exc:  # noqa: BLE001 - recorded, the next form is tried
            errors.append(f"{form}: {_describe(exc)}")
            continue
        del call, inspect
        rec.doc["memory"] = {
            "built_with": form,
            "graph_bytes": after - before,
            "bytes_per_edge": (after - before) / max(ctx.m, 1),
            "peak_rss_bytes": peak_rss_bytes(),
            "edges": edges,
            "failed_forms": errors,
        }
        rec.save()
        return graph
    rec.doc["memory"] = {"error": "; ".join(errors)}
    rec.save()
    return None


def run(spec: dict) -> None:
    rec = Recorder(spec["result_path"], {
        "lib": spec["lib"], "size": spec["size"], "threads": spec["threads"], "status": "started",
    })
    rec.save()
    adapter = adapter_for(spec["lib"])
    try:
        adapter.load()
    except ImportError as exc:
        rec.doc.update(status="missing", note=f"not installed ({_describe(exc)})")
        rec.save()
        return
    rec.doc["version"] = adapter.version()
    rec.doc["methods"] = adapter.methods
    adapter.set_threads(spec["threads"])

    data = datasets.load(spec["data_path"])
    size = datasets.SIZES[spec["size"]]
    os.makedirs(spec["out_dir"], exist_ok=True)
    ctx = Context(n=data["n"], u=data["u"], v=data["v"], source=int(data["bfs"][0]),
                  target=int(data["bfs"][1]), pairs=[tuple(p) for p in data["pairs"].tolist()],
                  qa=data["qa"], qb=data["qb"], seed=spec["seed"],
                  out_dir=spec["out_dir"], size_nodes=size.nodes, size_edges=size.edges,
                  data_path=spec["data_path"])

    graph = _memory_probe(adapter, ctx, rec)
    built = {}  # the directed and the undirected weighted graph, each built untimed when first needed
    for key in spec["workloads"]:
        if key in spec.get("skip", {}):
            rec.workload(key, {"status": "skipped", "note": spec["skip"][key]})
            continue
        if key in ANALYTICS and graph is None:
            rec.workload(key, {"status": "skipped", "note": "no graph: every build form failed"})
            continue
        if key == "generate" and size.kind != "uniform":
            continue  # the generators make uniform graphs only
        if key == "pagerank20" and key not in type(adapter).__dict__:
            continue  # offered by the adapters that can fix the iteration count
        try:
            method = getattr(adapter, key)
            if key in BUILT_BY:
                builder = BUILT_BY[key]
                if builder not in built:
                    built[builder] = getattr(adapter, builder)(ctx)[0]()
                call, inspect = method(built[builder], ctx)
            else:
                call, inspect = method(ctx) if key not in ANALYTICS else method(graph, ctx)
            entry = time_call(call, spec["repeats"], spec["slow_s"], inspect)
            entry["status"] = "ok"
        except KeyboardInterrupt:
            raise
        except NotImplementedError as exc:  # the library has no such function, or another definition
            entry = {"status": "skipped", "note": str(exc) or adapter.methods.get(key, "not offered")}
        except BaseException as exc:  # noqa: BLE001 - PanicException derives from BaseException
            entry = {"status": "error", "error": _describe(exc)}
            if not _describe(exc).startswith("PanicException"):
                entry["traceback"] = traceback.format_exc(limit=4)
        finally:
            call = inspect = None
            gc.collect()
        rec.workload(key, entry)
    rec.doc["peak_rss_end_bytes"] = peak_rss_bytes()
    rec.doc["status"] = "done"
    rec.save()


if __name__ == "__main__":
    run(json.loads(sys.argv[1]))
