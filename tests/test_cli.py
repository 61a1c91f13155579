"""The command line and the edge-list reader behind `arborvane stats`."""

import gzip
import json
import os
import random
import subprocess
import sys

import pytest

from arborvane import cli, edgelist
from arborvane.edgelist import EdgeListError, read_edge_list
from conftest import run_python

HAS_NUMPY = edgelist._np is not None
MODES = [pytest.param(True, id="numpy", marks=pytest.mark.skipif(not HAS_NUMPY, reason="numpy missing")),
         pytest.param(False, id="plain")]


def run_cli(*args, timeout=120, **env_values):
    env = dict(os.environ, **env_values)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return subprocess.run([sys.executable, "-m", "arborvane", *args], env=env,
                          capture_output=True, text=True, timeout=timeout)


def write(tmp_path, name, text):
    path = tmp_path / name
    data = text.encode()
    path.write_bytes(gzip.compress(data) if name.endswith(".gz") else data)
    return str(path)


# ---------------------------------------------------------------- reader

def random_edge_list(rng):
    """Text of a messy but valid edge list, and the ids it holds in order."""
    specials = [0, -1, 2**63 - 1, -2**63, 10**18, 99999999, 100000000, 12345678]
    lines, ids = [], []
    for _ in range(rng.randrange(300)):
        if rng.random() < 0.08:
            lines.append(rng.choice(["# comment 1 2", "% 3 4 5", "  #x", "", " \t "]))
            continue
        tokens = []
        for _ in range(rng.choice([2, 2, 2, 4])):
            r = rng.random()
            value = (rng.randrange(10) if r < 0.3 else rng.randrange(10 ** rng.randrange(1, 19)) if r < 0.6
                     else rng.randrange(-2**63, 2**63) if r < 0.8 else rng.choice(specials))
            ids.append(value)
            tokens.append(("+" if value >= 0 and rng.random() < 0.05 else "") + str(value))
        sep = rng.choice([" ", "\t", ",", ", ", " \t  "])
        lines.append(rng.choice(["", " "]) + sep.join(tokens) + rng.choice(["", "\r", " "]))
    return "\n".join(lines) + rng.choice(["", "\n"]), ids


@pytest.mark.parametrize("use_numpy", MODES)
@pytest.mark.parametrize("block", [64, 1 << 21])
def test_reader_matches_int_parsing(tmp_path, monkeypatch, use_numpy, block):
    monkeypatch.setattr(edgelist, "_BLOCK", block)
    rng = random.Random(block)
    for trial in range(40):
        text, ids = random_edge_list(rng)
        path = write(tmp_path, f"e{trial}.txt", text)
        got = read_edge_list(path, use_numpy=use_numpy)
        assert list(got.flat) == ids
        assert got.edge_count == len(ids) // 2
        assert got.lines == text.count("\n") + (not text.endswith("\n") and text != "")


@pytest.mark.parametrize("use_numpy", MODES)
def test_reader_formats(tmp_path, use_numpy):
    cases = {
        "empty.txt": ("", []),
        "comments.txt": ("# only\n% comments\n\n", []),
        "snap.txt": ("# FromNodeId\tToNodeId\n0\t1\n1\t2\n", [0, 1, 1, 2]),
        "csv.csv": ("1,2\r\n3,4\r\n", [1, 2, 3, 4]),
        "nolf.txt": ("5 6\n7 8", [5, 6, 7, 8]),
        "zeros.txt": ("0000000000000000000000001 -0002\n", [1, -2]),
        "pairs.txt": ("1 2 3 4\n\t5  6 \n", [1, 2, 3, 4, 5, 6]),
        "zipped.txt.gz": ("% konect\n1 2\n-3 4\n", [1, 2, -3, 4]),
    }
    for name, (text, ids) in cases.items():
        assert list(read_edge_list(write(tmp_path, name, text), use_numpy=use_numpy).flat) == ids, name


@pytest.mark.parametrize("use_numpy", MODES)
def test_reader_skips_indented_comments_longer_than_a_block(tmp_path, monkeypatch, use_numpy):
    monkeypatch.setattr(edgelist, "_BLOCK", 32)
    text = "1 2\n \t # " + "7 8 " * 40 + "\n  % 9 9\n3 4\n\t#" + "5" * 100
    got = read_edge_list(write(tmp_path, "c.txt", text), use_numpy=use_numpy)
    assert list(got.flat) == [1, 2, 3, 4] and got.lines == 5


@pytest.mark.parametrize("use_numpy", MODES)
def test_reader_errors_name_file_and_line(tmp_path, monkeypatch, use_numpy):
    monkeypatch.setattr(edgelist, "_BLOCK", 32)  # errors far beyond the first block
    head = "# header\n" + "10 20\n" * 30
    cases = [
        ("1 x\n", "not an integer node id: 'x'"),
        ("1.5 2\n", "not an integer node id: '1.5'"),
        ("1 2 3\n", "odd number of ids on a line (3)"),
        ("7\n8\n", "odd number of ids on a line (1)"),
        ("1-2 3\n", "not an integer node id: '1-2'"),
        ("-- 3\n", "not an integer node id: '--'"),
        ("1 2 # trailing\n", "not an integer node id: '#'"),
        ("1 9223372036854775808\n", "node id outside the signed 64-bit range"),
        ("1 -99999999999999999999\n", "node id outside the signed 64-bit range"),
        ("1 \u00e9\n", "not an integer node id: '\u00e9'"),
    ]
    for i, (bad, reason) in enumerate(cases):
        path = write(tmp_path, f"bad{i}.txt", head + bad + "1 2\n")
        with pytest.raises(EdgeListError) as info:
            read_edge_list(path, use_numpy=use_numpy)
        assert str(info.value).startswith(f"{path}:32: {reason}"), str(info.value)
        assert "\n" not in str(info.value)


def test_reader_unreadable_files(tmp_path):
    cases = {
        str(tmp_path / "missing.txt"): "cannot read file: No such file or directory",
        str(tmp_path): "cannot read file: Is a directory",
        write(tmp_path, "fake.gz", "1 2\n").replace(".gz", ".txt.gz"): None,
    }
    (tmp_path / "fake.txt.gz").write_bytes(b"1 2\n")  # a .gz that is not gzip data
    for path, reason in cases.items():
        with pytest.raises(EdgeListError) as info:
            read_edge_list(path)
        assert str(info.value).startswith(f"{path}: ")
        assert info.value.line is None
        if reason:
            assert reason in str(info.value)
    truncated = tmp_path / "cut.txt.gz"
    truncated.write_bytes(gzip.compress(b"1 2\n" * 1000)[:-20])
    with pytest.raises(EdgeListError, match="cannot"):
        read_edge_list(str(truncated))


# ---------------------------------------------------------------- stats

def test_stats_json(tmp_path):
    # A triangle with a pendant node, a separate pair, a self-loop and a
    # duplicate edge in the other orientation.
    path = write(tmp_path, "g.txt", "# test\n1 2\n2 3\n3 1\n3 4\n10 11\n11 10\n7 7\n")
    done = run_cli("stats", path, "--json", "--top", "3")
    assert done.returncode == 0, done.stderr
    data = json.loads(done.stdout)
    assert {k: data[k] for k in ("nodes", "edges", "self_loops", "components", "largest_component",
                                 "triangles", "degeneracy", "pairs_read", "lines")} == {
        "nodes": 7, "edges": 6, "self_loops": 1, "components": 3, "largest_component": 4,
        "triangles": 1, "degeneracy": 2, "pairs_read": 7, "lines": 8}
    # Clustering 1, 1, 1/3 on the triangle, 0 elsewhere (the loop ignored);
    # 3 triangles' worth of triples over 2+2+6 ordered ones.
    assert data["average_clustering"] == (1 + 1 + 1 / 3) / 7
    assert data["transitivity"] == 0.6
    # Louvain finds the three components; NetworkX gives them modularity 1/2.
    assert data["communities"] == 3 and data["modularity"] == pytest.approx(0.5, abs=1e-12)
    top = data["pagerank_top"]
    assert len(top) == 3 and top[0]["node"] == 3
    scores = [row["score"] for row in top]
    assert scores == sorted(scores, reverse=True)
    assert set(data["seconds"]) >= {"read edge list", "pagerank", "triangle_count", "core_number",
                                    "average_clustering", "transitivity"}


def test_self_loop_count_with_and_without_numpy_parts():
    import array

    from arborvane import IntGraphCore
    ids = [1, 1, 2, 3, 1, 1, 4, 4]
    g = IntGraphCore()
    g.add_edges_flat(ids)
    assert cli.count_self_loops(g, [array.array("q", ids)]) == 2
    if HAS_NUMPY:
        np = edgelist._np
        assert cli.count_self_loops(g, [np.array(ids[:4]), np.array(ids[4:])]) == 2


def test_stats_table_and_top_zero(tmp_path, capsys):
    path = write(tmp_path, "g.csv", "1,2\n2,3\n")
    assert cli.main(["stats", path, "--top", "0", "--quiet"]) == 0
    out, err = capsys.readouterr()
    assert "nodes" in out and "PageRank" not in out and err == ""
    assert "degeneracy (largest core number)" in out and "transitivity" in out and "modularity" in out


@pytest.mark.parametrize("text, message", [
    (None, "missing.txt: cannot read file: No such file or directory"),
    ("1 2\nfoo bar\n", "bad.txt:2: not an integer node id: 'foo'"),
    ("1 2\n3\n", "bad.txt:2: odd number of ids on a line (1)"),
])
def test_stats_bad_input_is_one_line_exit_2(tmp_path, text, message):
    name = "missing.txt" if text is None else "bad.txt"
    path = str(tmp_path / name) if text is None else write(tmp_path, name, text)
    done = run_cli("stats", path)
    assert done.returncode == 2
    assert done.stdout == ""
    lines = done.stderr.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith(f"arborvane stats: error: {tmp_path}/{message}")


def test_stats_bad_gzip_and_usage_errors(tmp_path):
    bad = tmp_path / "x.gz"
    bad.write_bytes(b"not compressed")
    done = run_cli("stats", str(bad))
    assert done.returncode == 2 and "Traceback" not in done.stderr
    assert done.stderr.startswith(f"arborvane stats: error: {bad}: cannot read file")
    for args in (["stats"], ["bench", "--nodes", "-5"], ["bench", "--nodes", "3", "--edges", "4"],
                 ["bench", "--threads", "0"], ["bench", "--threads", "1025"], ["frobnicate"], []):
        done = run_cli(*args)
        assert done.returncode == 2, args
        assert "Traceback" not in done.stderr and "usage:" in done.stderr


# ---------------------------------------------------------------- bench

def test_bench_json_shape():
    done = run_cli("bench", "--nodes", "300", "--edges", "2000", "--seed", "7", "--threads", "2",
                   "--list-edges", "500", "--json")
    assert done.returncode == 0, done.stderr
    data = json.loads(done.stdout)
    assert data["parameters"] == {"nodes": 300, "edges": 2000, "seed": 7, "threads": 2, "list_edges": 500}
    assert data["environment"]["threads"] == 2
    assert data["graph"]["edges"] == 2000 and data["graph"]["nodes"] <= 300
    optional = list(cli.optional_analytics())
    assert list(data["seconds"]) == cli.BENCH_STAGES + optional
    lists = data["lists"]
    assert list(lists["seconds"]) == cli.LIST_STAGES
    assert all(seconds >= 0 for seconds in [*data["seconds"].values(), *lists["seconds"].values()])
    results = data["results"]
    assert results["components"] >= 1 and results["largest_component"] <= 300
    assert results["component_labels"]["distinct"] == results["components"]
    assert results["pagerank_sum"] == pytest.approx(1.0, abs=1e-3)
    assert results["betweenness_centrality"]["sources"] == cli.BETWEENNESS_SOURCES
    # The list stages run on a sparser graph of their own.
    assert (lists["nodes"], lists["edges"]) == (75, 500)
    assert lists["results"]["copy_edges"] == 500
    assert lists["results"]["has_edges"]["true"] >= lists["results"]["has_edges"]["queries"] // 2
    assert data["memory"]["rss_after_build_bytes"] > 0 and lists["peak_rss_bytes"] > 0
    # Progress goes to stderr, one line per stage when it is not a terminal.
    assert done.stderr.count("\n") == len(cli.BENCH_STAGES) + len(optional) + len(cli.LIST_STAGES)
    # The same seed builds the same graph.
    again = json.loads(run_cli("bench", "--nodes", "300", "--edges", "2000", "--seed", "7",
                               "--list-edges", "500", "--json", "-q").stdout)
    assert again["results"] == results and again["lists"]["results"] == lists["results"]


@pytest.mark.parametrize("n, m, wanted, expected", [
    (1_000_000, 10_000_000, 1_000_000, (100_000, 1_000_000)),  # as sparse as the main graph
    (300, 2000, 10**6, (300, 2000)),  # never more edges than the main graph
    (100, 4900, 2000, (100, 2000)),  # 40 ids hold only 780 pairs: the full range
    (10, 20, 0, (10, 0)),
])
def test_bench_list_graph_size(n, m, wanted, expected):
    assert cli.list_graph_size(n, m, wanted) == expected


def test_bench_table_and_tiny_graphs(capsys):
    assert cli.main(["bench", "--nodes", "50", "--edges", "100", "-q"]) == 0
    out, err = capsys.readouterr()
    assert "pagerank" in out and "betweenness_centrality" in out and "memory" in out and err == ""
    assert "Python lists, 100 edges" in out
    assert cli.main(["bench", "--nodes", "0", "--edges", "0", "-q", "--json"]) == 0
    assert json.loads(capsys.readouterr().out)["graph"] == {"nodes": 0, "edges": 0}


def test_bench_times_the_optional_analytics_it_finds(monkeypatch, capsys):
    import arborvane

    scored = []
    monkeypatch.setattr(arborvane, "louvain_communities", lambda g, seed=None: arborvane.component_labels(g),
                        raising=False)
    monkeypatch.setattr(arborvane, "modularity", lambda g, labels: scored.append(labels.size) or 0.25,
                        raising=False)
    assert cli.main(["bench", "--nodes", "60", "--edges", "100", "--list-edges", "0", "-q", "--json"]) == 0
    data = json.loads(capsys.readouterr().out)
    assert list(data["seconds"])[-4:] == ["louvain_communities", "leiden_communities",
                                          "label_propagation_communities", "modularity"]
    assert data["results"]["modularity"] == 0.25 and scored == [data["graph"]["nodes"]]
    assert "seconds" not in data["lists"]


def test_bench_requests_the_generator_refuses_are_one_line_exit_2():
    # Ids beyond what the node map can hold: an internal fault on the native
    # side, whose own report must not reach the user as well.
    for edges in ("10", "0"):
        done = run_cli("bench", "--nodes", str(2**62), "--edges", edges)
        assert (done.returncode, done.stdout) == (2, "")
        assert done.stderr.splitlines() == [
            f"arborvane bench: error: cannot build a random graph with --nodes {2**62} --edges {edges}: "
            "Hash table capacity overflow"], done.stderr


def test_bench_value_error_from_the_generator_is_one_line(monkeypatch, capsys):
    import arborvane

    class Refusing:
        def build_random(self, n, m, seed):
            raise ValueError("build_random: cannot make 9 new edges")

    monkeypatch.setattr(arborvane, "IntGraphCore", Refusing)
    assert cli.main(["bench", "--nodes", "9", "--edges", "9"]) == 2
    out, err = capsys.readouterr()
    assert out == "" and err == (
        "arborvane bench: error: cannot build a random graph with --nodes 9 --edges 9: "
        "build_random: cannot make 9 new edges\n")


def test_bench_sparse_id_range_finishes():
    # Ids 0..10**17-1 for 10 edges: the subgraph stage must not list every
    # tenth id of that range.
    done = run_cli("bench", "--nodes", str(10**17), "--edges", "10", "--json", "-q")
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout)["graph"]["edges"] == 10


@pytest.mark.parametrize("value, expected", [("+3", 3), ("3", 3), ("5000", 1024), (" 4", None), ("", None)])
def test_bench_json_reports_the_pools_thread_count(value, expected):
    done = run_cli("bench", "--nodes", "100", "--edges", "300", "--json", "-q",
                   RAYON_NUM_THREADS=value, RAYON_RS_NUM_CPUS="")
    assert done.returncode == 0, done.stderr
    # " 4" is not a count to the pool: it takes the available CPUs.
    expected = expected or int(run_python(
        "from arborvane._native import arrays; print(arrays.worker_threads())",
        {"RAYON_NUM_THREADS": "", "RAYON_RS_NUM_CPUS": ""}))
    assert json.loads(done.stdout)["environment"]["threads"] == expected
