"""Graph files: edge-list text (read_edgelist / write_edgelist) and the
binary format (save / load), including damaged and hostile files."""

import fcntl
import os
import pathlib
import signal
import stat
import struct
import subprocess
import sys
import time
import tracemalloc

import numpy as np
import pytest

import arborvane
from arborvane import IntGraphCore, edgelist, files
from arborvane.edgelist import EdgeListError
from conftest import run_python
from graph_helpers import graph
from test_arrays import GRAPHS, INT64_MAX, INT64_MIN, interrupt_after, large_graph

# ---------------------------------------------------------------- a reference XXH64

_M = (1 << 64) - 1
_P1, _P2, _P3, _P4, _P5 = (0x9E3779B185EBCA87, 0xC2B2AE3D27D4EB4F, 0x165667B19E3779F9,
                           0x85EBCA77C2B2AE63, 0x27D4EB2F165667C5)


def _rotl(x, r):
    return ((x << r) | (x >> (64 - r))) & _M


def _round(acc, value):
    return (_rotl((acc + value * _P2) & _M, 31) * _P1) & _M


def xxh64(data, seed=0):
    """Plain XXH64, written from the algorithm's description."""
    n, p = len(data), 0
    word = lambda at, size=8: int.from_bytes(data[at:at + size], "little")  # noqa: E731
    if n >= 32:
        v = [(seed + _P1 + _P2) & _M, (seed + _P2) & _M, seed, (seed - _P1) & _M]
        while p + 32 <= n:
            v = [_round(v[i], word(p + 8 * i)) for i in range(4)]
            p += 32
        h = (_rotl(v[0], 1) + _rotl(v[1], 7) + _rotl(v[2], 12) + _rotl(v[3], 18)) & _M
        for lane in v:
            h = ((h ^ _round(0, lane)) * _P1 + _P4) & _M
    else:
        h = (seed + _P5) & _M
    h = (h + n) & _M
    while p + 8 <= n:
        h = (_rotl(h ^ _round(0, word(p)), 27) * _P1 + _P4) & _M
        p += 8
    if p + 4 <= n:
        h = (_rotl(h ^ ((word(p, 4) * _P1) & _M), 23) * _P2 + _P3) & _M
        p += 4
    while p < n:
        h = (_rotl(h ^ ((data[p] * _P5) & _M), 11) * _P1) & _M
        p += 1
    h ^= h >> 33
    h = (h * _P2) & _M
    h ^= h >> 29
    h = (h * _P3) & _M
    return h ^ (h >> 32)


def graph_file(ids, runs, edges=None, version=1, width=4):
    """The bytes of a graph file with these node ids and neighbour runs (lists
    of indices), with valid checksums whatever the content."""
    entries = sum(map(len, runs))
    loops = sum(i in run for i, run in enumerate(runs))
    edges = (entries + loops) // 2 if edges is None else edges
    head = b"\x89AVG\r\n\x1a\n" + struct.pack("<IIQQQ", version, width, len(ids), edges, entries)
    head += struct.pack("<Q", xxh64(head))
    code = "I" if width == 4 else "Q"
    body = struct.pack(f"<{len(ids)}q", *ids) + struct.pack(f"<{len(runs)}I", *map(len, runs))
    body += b"".join(struct.pack(f"<{len(run)}{code}", *run) for run in runs)
    return head + body + struct.pack("<Q", xxh64(body))


def same_graph(a, b):
    return sorted(a.nodes()) == sorted(b.nodes()) and sorted(a.edges()) == sorted(b.edges())


# ---------------------------------------------------------------- round trips

@pytest.mark.parametrize("name", list(GRAPHS) + ["large"])
def test_save_load_round_trip(tmp_path, name):
    g = large_graph() if name == "large" else GRAPHS[name]()
    path = tmp_path / "g.avg"
    arborvane.save(g, path)
    data = path.read_bytes()
    assert int.from_bytes(data[40:48], "little") == xxh64(data[:40])
    if len(data) < 1 << 16:  # the pure-Python checksum is slow
        assert int.from_bytes(data[-8:], "little") == xxh64(data[48:-8])
    loaded = arborvane.load(str(path))
    assert same_graph(loaded, g) and repr(loaded) == repr(g)
    for a, b in zip(loaded.nodes(), arborvane.load(path).nodes()):  # deterministic order
        assert a == b
    assert arborvane.load(path).edges() == loaded.edges()


@pytest.mark.parametrize("suffix", [".txt", ".csv.gz", ".bz2", ".edges.xz"])
def test_edgelist_round_trip(tmp_path, suffix):
    for name, make in GRAPHS.items():
        g = make()
        path = tmp_path / f"{name}{suffix}"
        arborvane.write_edgelist(g, path)
        back = arborvane.read_edgelist(str(path))
        assert sorted(back.edges()) == sorted(g.edges()), name
        assert set(back.nodes()) == {n for n in g.nodes() if g.degree(n)}  # isolated nodes have no line
        lines = list(edgelist.read_edge_list(str(path)).flat) if g.edges() else []
        assert lines == [i for edge in g.edges() for i in edge]  # written in edges() order
    with edgelist.open_edge_list(str(tmp_path / f"extremes{suffix}")) as handle:
        text = handle.read().decode()
    assert f"{INT64_MIN} {INT64_MAX}\n" in text and text.endswith("\n")


def test_edgelist_written_in_several_pieces(tmp_path, monkeypatch):
    monkeypatch.setattr(files, "_LINES_PER_WRITE", 7)
    g = large_graph()
    arborvane.write_edgelist(g, tmp_path / "g.txt")
    assert list(edgelist.read_edge_list(str(tmp_path / "g.txt")).flat) == g.edges_flat()


def test_read_edgelist_reports_like_the_command_line(tmp_path):
    path = tmp_path / "bad.txt"
    path.write_text("# header\n1 2\n3 x\n")
    with pytest.raises(EdgeListError, match=f"^{path}:3: not an integer node id: 'x'$"):
        arborvane.read_edgelist(path)
    with pytest.raises(ValueError, match="cannot read file"):
        arborvane.read_edgelist(tmp_path / "missing.txt")


# ---------------------------------------------------------------- long lines

def test_long_lines_are_read_in_pieces(tmp_path, monkeypatch):
    monkeypatch.setattr(edgelist, "_BLOCK", 16)
    ids = list(range(-150, 150))
    text = ("  " + " ,".join(map(str, ids)) + "\n# a comment " + "x " * 40 + "\n" + "%" + "9 " * 40 + "\n5 6")
    path = tmp_path / "long.txt"
    path.write_text(text)
    for use_numpy in (True, False):
        got = edgelist.read_edge_list(str(path), use_numpy=use_numpy)
        assert list(got.flat) == ids + [5, 6] and got.lines == 4
    bad = {
        "1 2 " * 30 + "7\n": "1: odd number of ids on a line (61)",
        "0 1\n" + "1 2 " * 30 + "# 3\n": "2: not an integer node id: '#'",
        "1 2 " * 30 + "\n" + "1 2 " * 30 + "x" * 40 + "\n": "2: not an integer node id: 'xxx",
        "1 " + "0" * 70_000 + "1\n": "1: node id longer than 65536 characters: '000",
        "1 2 3" + "4" * 70_000: "1: node id outside the signed 64-bit range: '3444",
    }
    for i, (content, reason) in enumerate(bad.items()):
        path = tmp_path / f"bad{i}.txt"
        path.write_text(content)
        with pytest.raises(EdgeListError) as info:
            arborvane.read_edgelist(path)
        assert str(info.value).startswith(f"{path}:{reason}"), str(info.value)
    path = tmp_path / "zeros.txt"
    path.write_text("0" * 100 + "7 " + "1 2 " * 20 + "8\n")  # an id longer than a block
    assert arborvane.read_edgelist(path).edges() == [(7, 1), (1, 2), (2, 8)] or \
        sorted(arborvane.read_edgelist(path).edges()) == sorted([(1, 7), (1, 2), (2, 8)])


def test_one_line_file_needs_no_more_memory_than_many_lines(tmp_path, monkeypatch):
    monkeypatch.setattr(edgelist, "_BLOCK", 1 << 16)
    rng = np.random.default_rng(1)
    ids = rng.integers(0, 10**6, 400_000)
    one_line = tmp_path / "one.txt"
    one_line.write_text(" ".join(map(str, ids.tolist())) + "\n")  # about 2.7 MB
    peaks = []
    for use_numpy in (True, False):
        tracemalloc.start()
        reader = edgelist.EdgeListReader(str(one_line), use_numpy=use_numpy)
        count = sum(len(part) for part in reader.blocks())  # blocks are dropped as they come
        peaks.append(tracemalloc.get_traced_memory()[1])
        tracemalloc.stop()
        assert count == ids.size
    assert max(peaks) < 40 * (1 << 16), peaks  # a few blocks, not the whole line


# ---------------------------------------------------------------- damaged and hostile files

def test_damaged_files_say_what_is_wrong(tmp_path):
    g = graph(edges=[(1, 2), (2, 3), (3, 3)], nodes=[9])
    good = tmp_path / "good.avg"
    arborvane.save(g, good)
    data = good.read_bytes()
    cases = {
        b"": "not an arborvane graph file (the file is empty)",
        b"1 2\n3 4\n" * 10: "not an arborvane graph file",
        data[:5]: "truncated",
        data[:30]: "truncated: the file ends inside its header",
        data[:-1]: "truncated: the file has",
        data[:60]: "truncated",
        data + b"\0": "corrupted: unexpected bytes after the end of the graph",
        data[:8] + struct.pack("<I", 2) + data[12:]: "unsupported graph file version 2",
        data[:20] + bytes([data[20] ^ 1]) + data[21:]: "corrupted: header checksum mismatch",
        data[:60] + bytes([data[60] ^ 0x40]) + data[61:]: "corrupted: checksum mismatch",
        data[:-3] + bytes([data[-3] ^ 1]) + data[-2:]: "corrupted: checksum mismatch",
    }
    for i, (content, reason) in enumerate(cases.items()):
        path = tmp_path / f"bad{i}.avg"
        path.write_bytes(content)
        with pytest.raises(ValueError) as info:
            arborvane.load(path)
        assert str(info.value).startswith(f"{path}: {reason}"), (i, str(info.value))


def test_hostile_files_with_valid_checksums_are_refused(tmp_path):
    # A valid file built by hand first: a triangle 10-20-30 with a loop on 30.
    ok = graph_file([10, 20, 30], [[1, 2], [0, 2], [0, 1, 2]])
    assert same_graph(load_bytes(tmp_path, ok), graph(edges=[(10, 20), (10, 30), (20, 30), (30, 30)]))
    assert same_graph(load_bytes(tmp_path, graph_file([5, 6], [[1], [0]], width=8)), graph(edges=[(5, 6)]))
    cases = {
        graph_file([10, 10], [[], []]): "node id 10 is listed twice",
        graph_file([10, 20], [[1, 5], [0]], edges=2): "neighbour index out of range",
        graph_file([10, 20, 30], [[2, 1], [0], [0]]): "neighbour run not strictly ascending",
        graph_file([10, 20, 30], [[1, 1], [0], []], edges=2): "neighbour run not strictly ascending",
        graph_file([10, 20, 30], [[1], [2], [0]], edges=2): "adjacency is not symmetric",
        graph_file([10, 20, 30], [[1, 2], [0], [1]]): "adjacency is not symmetric",
        graph_file([10, 20], [[1], [0]], edges=5): "node, edge and entry counts do not agree",
        graph_file([10, 20, 30], [[0, 1], [0], [2]], edges=2): "edge count does not match",
    }
    for content, reason in cases.items():
        with pytest.raises(ValueError, match=f"corrupted: {reason}"):
            load_bytes(tmp_path, content)
    # Degrees that do not add up to the entry count in the header.
    head, rest = bytearray(ok[:48]), ok[48:-8]
    body = bytearray(rest)
    body[24:28] = struct.pack("<I", 3)  # node 0's degree
    with pytest.raises(ValueError, match="corrupted: degrees add up to more"):
        load_bytes(tmp_path, bytes(head) + bytes(body) + struct.pack("<Q", xxh64(bytes(body))))


def load_bytes(tmp_path, content):
    path = tmp_path / "crafted.avg"
    path.write_bytes(content)
    return arborvane.load(path)


# ---------------------------------------------------------------- replacing files safely

@pytest.mark.parametrize("unnamed", [True, False])  # O_TMPFILE, or a hidden file beside the target
def test_failed_writes_keep_the_older_file(tmp_path, monkeypatch, unnamed):
    monkeypatch.setattr(files, "_UNNAMED_FILES", unnamed and files._UNNAMED_FILES)
    g = graph(edges=[(1, 2)])
    replace = os.replace
    for write, name in [(arborvane.save, "g.avg"), (arborvane.write_edgelist, "g.txt.gz")]:
        path = tmp_path / name
        path.write_bytes(b"older")

        def fail(*args):
            raise KeyboardInterrupt

        monkeypatch.setattr(os, "replace", fail)
        with pytest.raises(KeyboardInterrupt):
            write(g, path)
        monkeypatch.setattr(os, "replace", replace)
        assert path.read_bytes() == b"older"
        assert sorted(os.listdir(tmp_path)) == sorted(p.name for p in tmp_path.iterdir() if p.name == p.name)
        assert not [p for p in os.listdir(tmp_path) if p.endswith(".tmp")]
        write(g, path)
        assert path.read_bytes() != b"older"
    with pytest.raises(IsADirectoryError):
        arborvane.save(g, tmp_path)
    assert not [p for p in os.listdir(tmp_path) if p.endswith(".tmp")]


@pytest.mark.skipif(not hasattr(signal, "setitimer"), reason="needs setitimer")
def test_ctrl_c_during_load_returns_no_graph(tmp_path):
    g = IntGraphCore()
    g.build_random(200_000, 1_000_000, 4)
    path = pathlib.Path(tmp_path / "big.avg")
    arborvane.save(g, path)
    previous = interrupt_after(0.01)
    try:
        with pytest.raises(KeyboardInterrupt):
            while True:
                arborvane.load(path)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert same_graph(arborvane.load(path), g)


def test_writers_follow_links_and_write_other_files_in_place(tmp_path):
    g = graph(edges=[(1, 2)])
    target, link = tmp_path / "target.txt", tmp_path / "link.txt"
    target.write_text("old")
    link.symlink_to(target)
    arborvane.write_edgelist(g, link)
    assert link.is_symlink() and target.read_text() == "1 2\n"
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    reader = subprocess.Popen(["cat", str(fifo)], stdout=subprocess.PIPE)
    arborvane.write_edgelist(g, fifo)
    assert reader.communicate(timeout=60)[0] == b"1 2\n" and stat.S_ISFIFO(os.stat(fifo).st_mode)
    if os.geteuid() == 0:  # a character device (a copy of /dev/null) stays one
        null = tmp_path / "null"
        os.mknod(null, stat.S_IFCHR | 0o666, os.makedev(1, 3))
        arborvane.save(g, null)
        assert stat.S_ISCHR(os.stat(null).st_mode)
    # A name for the process's stdout, a pipe here: streamed, the link kept.
    stdout = tmp_path / "stdout"
    stdout.symlink_to("/proc/self/fd/1")
    code = f"import arborvane; g = arborvane.IntGraphCore(); g.add_edge(3, 4); arborvane.write_edgelist(g, {str(stdout)!r})"
    assert run_python(code) == "3 4\n" and stdout.is_symlink()
    assert not [p for p in os.listdir(tmp_path) if p.endswith(".tmp")]


def test_overwriting_keeps_permission_bits(tmp_path):
    path = tmp_path / "g.avg"
    arborvane.save(graph(edges=[(1, 2)]), path)
    os.chmod(path, 0o600)
    os.link(path, tmp_path / "hard")
    arborvane.save(graph(edges=[(1, 3)]), path)
    assert stat.S_IMODE(os.stat(path).st_mode) == 0o600
    # Replaced atomically: a new file, the hard link keeps the old one.
    assert arborvane.load(tmp_path / "hard").edges() == [(1, 2)]


def test_killed_save_leaves_the_old_file_and_nothing_else(tmp_path):
    path = tmp_path / "g.avg"
    code = f"""
import sys, arborvane
g = arborvane.IntGraphCore()
g.build_random(200_000, 2_000_000, 1)
arborvane.save(g, {str(path)!r})
print("saved", flush=True)
sys.stdin.readline()
while True:
    arborvane.save(g, {str(path)!r})
"""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    for delay in (0.05, 0.13, 0.21):
        child = subprocess.Popen([sys.executable, "-c", code], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)
        assert child.stdout.readline() == b"saved\n"
        # That save removed what the previous kill may have left.
        assert os.listdir(tmp_path) == ["g.avg"]
        child.stdin.write(b"go\n")
        child.stdin.flush()
        time.sleep(delay)
        child.kill()
        child.communicate()
        # A kill between naming the new file and renaming it over the old
        # one leaves it under its hidden name, for the next save to remove.
        left = [p for p in os.listdir(tmp_path) if p != "g.avg"]
        assert path.exists() and len(left) <= 1 and all(files._is_hidden_name(p, ".g.avg.") for p in left)
    assert arborvane.load(path).number_of_edges() == 2_000_000
    arborvane.save(graph(edges=[(1, 2)]), path)
    assert os.listdir(tmp_path) == ["g.avg"]


@pytest.mark.parametrize("unnamed", [True, False])
def test_writes_remove_only_leftovers_whose_writer_is_gone(tmp_path, monkeypatch, unnamed):
    monkeypatch.setattr(files, "_UNNAMED_FILES", unnamed and files._UNNAMED_FILES)
    path = tmp_path / "g.avg"
    path.write_bytes(b"older")
    dead, alive = ".g.avg.0123456789ab.tmp", ".g.avg.ba9876543210.tmp"
    kept = [alive, ".g.avg.0123456789AB.tmp", ".g.avg.0123456789a.tmp", ".h.avg.0123456789ab.tmp", "g.avg.0123456789ab.tmp"]
    for name in [dead, *kept]:
        (tmp_path / name).write_bytes(b"x")
    (tmp_path / ".g.avg.00000000000f.tmp").symlink_to(tmp_path / kept[1])  # not a regular file
    kept.append(".g.avg.00000000000f.tmp")
    writer = os.open(tmp_path / alive, os.O_RDONLY)  # a live writer holds its lock
    fcntl.flock(writer, fcntl.LOCK_EX)
    replace, flock = os.replace, fcntl.flock

    def replace_meanwhile(source, target):
        files._remove_leftovers(str(target))  # what a later writer does first
        assert os.path.exists(source)  # this writer's own file, locked, stays
        replace(source, target)

    def removed_before_the_lock(fd, operation):
        if operation == fcntl.LOCK_EX and not unnamed:
            [new] = set(os.listdir(tmp_path)) - {"g.avg", *kept}  # the writer's, just made
            os.unlink(tmp_path / new)
            monkeypatch.setattr(fcntl, "flock", flock)  # once
        flock(fd, operation)

    monkeypatch.setattr(os, "replace", replace_meanwhile)
    monkeypatch.setattr(fcntl, "flock", removed_before_the_lock)
    try:
        arborvane.save(graph(edges=[(1, 2)]), path)
    finally:
        os.close(writer)
    assert sorted(os.listdir(tmp_path)) == sorted(["g.avg", *kept])
    assert arborvane.load(path).edges() == [(1, 2)]


def test_load_reads_a_fifo_as_a_stream(tmp_path):
    g = large_graph()
    path, fifo = tmp_path / "g.avg", tmp_path / "fifo"
    arborvane.save(g, path)
    os.mkfifo(fifo)
    writer = subprocess.Popen(f"cat {path} > {fifo}", shell=True)
    assert same_graph(arborvane.load(fifo), g)
    writer.wait(timeout=60)
    writer = subprocess.Popen(f"head -c 1000 {path} > {fifo}", shell=True)
    with pytest.raises(ValueError, match="fifo: truncated: the file has 1000 bytes"):
        arborvane.load(fifo)
    writer.wait(timeout=60)


def test_paths_may_be_str_bytes_or_pathlike_and_errors_name_them(tmp_path):
    g = graph(edges=[(1, 2)])
    for make in (str, os.fsencode, pathlib.Path):
        arborvane.save(g, make(tmp_path / "g.avg"))
        arborvane.write_edgelist(g, make(tmp_path / "g.txt"))
        assert same_graph(arborvane.load(make(tmp_path / "g.avg")), g)
        assert same_graph(arborvane.read_edgelist(make(tmp_path / "g.txt")), g)
    missing = tmp_path / "missing" / "g.avg"
    for write in (arborvane.save, arborvane.write_edgelist):
        with pytest.raises(FileNotFoundError) as info:
            write(g, os.fsencode(missing))
        assert info.value.filename == str(missing)
