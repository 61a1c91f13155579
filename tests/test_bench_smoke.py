"""The benchmark runner end to end on a tiny graph, with arborvane alone."""
import json
import os
import subprocess
import sys

import pytest

pytest.importorskip("numpy")

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if not os.path.isdir(os.path.join(ROOT, "bench")):
    pytest.skip("the benchmark harness is not in this tree (a source distribution)", allow_module_level=True)


def test_quick_run_writes_checked_json_and_markdown(tmp_path):
    out_json, out_md = tmp_path / "r.json", tmp_path / "r.md"
    proc = subprocess.run(
        [sys.executable, "-m", "bench", "--quick", "--sizes", "tiny", "--libs", "arborvane",
         "--threads", "1", "--repeats", "1", "--json", str(out_json), "--markdown", str(out_md),
         "--data-dir", str(tmp_path / "data")],
        cwd=ROOT, capture_output=True, text=True, timeout=300,
    )
    assert proc.returncode == 0, proc.stderr
    doc = json.loads(out_json.read_text())
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
    assert all(c["ok"] for c in doc["checks"]["tiny"])
    text = out_md.read_text()
    assert "| workload | threads | arborvane |" in text and "tiny: " in text
