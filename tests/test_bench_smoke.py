"""The benchmark runner end to end on a tiny graph, with arborvane alone."""
import importlib.util
import json
import os
import subprocess
import sys

import pytest

pytest.importorskip("numpy")

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if not os.path.isdir(os.path.join(ROOT, "bench")):
    pytest.skip("the benchmark harness is not in this tree (a source distribution)", allow_module_level=True)

# The rows on arborvane.Graph, directed and undirected, weighted.
GRAPH_ROWS = ["graph_build", "graph_build_ids", "graph_components", "graph_triangles", "graph_cores",
              "graph_clustering", "graph_clustering_weighted", "graph_transitivity", "graph_betweenness",
              "graph_betweenness_weighted", "weighted_louvain", "weighted_leiden", "directed_clustering",
              "directed_clustering_weighted", "directed_betweenness", "directed_betweenness_weighted"]


def run_bench(tmp_path, *args):
    out_json, out_md = tmp_path / "r.json", tmp_path / "r.md"
    proc = subprocess.run(
        [sys.executable, "-m", "bench", "--quick", "--sizes", "tiny", "--repeats", "1", "--json", str(out_json),
         "--markdown", str(out_md), "--data-dir", str(tmp_path / "data"), *args],
        cwd=ROOT, capture_output=True, text=True, timeout=300,
    )
    assert proc.returncode == 0, proc.stderr
    return json.loads(out_json.read_text()), out_md.read_text()


def test_quick_run_writes_checked_json_and_markdown(tmp_path):
    doc, text = run_bench(tmp_path, "--libs", "arborvane", "--threads", "1")
    (run,) = doc["runs"]
    assert run["status"] == "done" and run["lib"] == "arborvane" and run["threads"] == 1
    info = doc["sizes"]["tiny"]
    assert run["memory"]["edges"] == info["m"] and run["memory"]["bytes_per_edge"] > 0
    for key, entry in run["workloads"].items():
        # Operations that are not available yet are reported, never fatal.
        assert entry["status"] in ("ok", "error"), (key, entry)
        if entry["status"] == "ok":
            assert entry["median_s"] > 0 and len(entry["runs_s"]) == 1
    assert run["workloads"]["build_list"]["check"] == info["m"]
    assert all(run["workloads"][key]["status"] == "ok" for key in GRAPH_ROWS)
    assert all(c["ok"] for c in doc["checks"]["tiny"])
    assert "| workload | threads | arborvane |" in text and "tiny: " in text


def test_graph_rows_agree_with_the_peers(tmp_path):
    # One peer keeps this fast; each offers every row checked below.
    peer = next((lib for lib in ("igraph", "networkit", "rustworkx") if importlib.util.find_spec(lib)), None)
    if peer is None:
        pytest.skip("no peer library installed")
    doc, _ = run_bench(tmp_path, "--libs", f"arborvane,{peer}", "--threads", "1",
                       "--workloads", ",".join(GRAPH_ROWS))
    checks = doc["checks"]["tiny"]
    assert all(c["ok"] for c in checks), [c for c in checks if not c["ok"]]
    assert {c["workload"] for c in checks} >= {"graph_build_ids"}  # nodes and edges from the 64-bit ids
    checked = {c["workload"] for c in checks if "reference" in c}
    assert checked >= {"graph_components", "graph_triangles", "graph_cores", "graph_transitivity",
                       "graph_betweenness", "directed_betweenness"}
    for run in doc["runs"]:
        assert all(e["status"] in ("ok", "skipped") for e in run["workloads"].values()), run
