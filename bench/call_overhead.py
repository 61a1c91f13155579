"""Cost of one call into IntGraphCore from a Python loop, and memory per edge.

Call overhead: ns per add_edge / has_edge call in a loop of 1,000,000 calls,
next to the floor, a method that does nothing with the same calling
convention (METH_FASTCALL | METH_KEYWORDS, two arguments, called on an
instance of a heap type). The floor comes from a throwaway extension built
here in a temporary directory with the compiler flags of our build
(-O3 -std=c++20 -fPIC). Every figure is the median of several runs, each
loop measured with the same shape (`for u, v in pairs: f(u, v)`), and also
shown with the cost of the bare loop (`for u, v in pairs: pass`) taken off.

Memory: resident-set growth of a fresh process while it builds 1,000,000
random edges among 100,000 nodes natively (build_random), next to the bytes
the tables should take, computed from the structure sizes and the
growth rules of the node map and the neighbour sets.

    PYTHONPATH=build/<name>/pkg python3 bench/call_overhead.py [--calls N] [--repeat R]
"""

import argparse
import json
import os
import random
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import textwrap
import time

NOOP_SOURCE = r"""
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {
PyObject* noop(PyObject*, PyObject* const*, size_t nargsf, PyObject* kwnames) {
  if (PyVectorcall_NARGS(nargsf) != 2 || kwnames) {
    PyErr_SetString(PyExc_TypeError, "noop takes two positional arguments");
    return nullptr;
  }
  Py_RETURN_NONE;
}
PyMethodDef methods[] = {
    {"noop", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(noop)),
     METH_FASTCALL | METH_KEYWORDS, "noop($self, u, v)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr}};
PyType_Slot slots[] = {{Py_tp_methods, methods}, {0, nullptr}};
PyType_Spec spec = {"noop_ext.Floor", sizeof(PyObject), 0,
                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
int exec_module(PyObject* module) {
  PyObject* type = PyType_FromSpec(&spec);
  if (!type) return -1;
  return PyModule_Add(module, "Floor", type);
}
PyModuleDef_Slot module_slots[] = {{Py_mod_exec, reinterpret_cast<void*>(exec_module)}, {0, nullptr}};
PyModuleDef def = {PyModuleDef_HEAD_INIT, "noop_ext", "", 0, nullptr, module_slots,
                   nullptr, nullptr, nullptr};
}  // namespace
PyMODINIT_FUNC PyInit_noop_ext(void) { return PyModuleDef_Init(&def); }
"""

# PyModule_Add is 3.13+; older interpreters get the equivalent.
COMPAT = r"""
#if PY_VERSION_HEX < 0x030D0000
static int PyModule_Add(PyObject* m, const char* name, PyObject* value) {
  int rc = PyModule_AddObjectRef(m, name, value);
  Py_DECREF(value);
  return rc;
}
#endif
"""


def build_floor(tmp):
    source = os.path.join(tmp, "noop_ext.cpp")
    with open(source, "w") as f:
        f.write(NOOP_SOURCE.replace("namespace {", COMPAT + "namespace {", 1))
    target = os.path.join(tmp, "noop_ext" + sysconfig.get_config_var("EXT_SUFFIX"))
    cxx = os.environ.get("CXX", "c++")
    subprocess.run([cxx, "-O3", "-DNDEBUG", "-std=c++20", "-fPIC", "-shared",
                    "-fvisibility=hidden", "-I", sysconfig.get_paths()["include"],
                    source, "-o", target], check=True)
    sys.path.insert(0, tmp)
    import noop_ext  # noqa: E402
    return noop_ext.Floor()


# CPU time of this thread: on a shared machine, time spent descheduled is
# not counted against the code under test.
CLOCK = time.thread_time_ns


def time_method_loop(pairs, obj, name):
    # The attribute is looked up in every iteration, as user code does.
    code = textwrap.dedent(f"""
        def run(pairs, obj, clock):
            start = clock()
            for u, v in pairs:
                obj.{name}(u, v)
            return clock() - start
    """)
    scope = {}
    exec(code, scope)
    return scope["run"](pairs, obj, CLOCK)


def time_empty_loop(pairs):
    start = CLOCK()
    for u, v in pairs:
        pass
    return CLOCK() - start


def call_overhead(calls, repeat):
    from arborvane._accel import IntGraphCore

    rng = random.Random(1)
    random_pairs = [(rng.randrange(100_000), rng.randrange(100_000)) for _ in range(calls)]
    fixed_pairs = [(1, 2)] * calls
    with tempfile.TemporaryDirectory() as tmp:
        floor = build_floor(tmp)
        samples = {k: [] for k in ("loop", "noop", "add_edge existing", "has_edge existing",
                                   "add_edge random new", "has_edge random")}
        small = IntGraphCore()
        small.add_edge(1, 2)
        for _ in range(repeat):
            # The boundary alone: one-edge graph, everything in cache.
            samples["loop"].append(time_empty_loop(fixed_pairs))
            samples["noop"].append(time_method_loop(fixed_pairs, floor, "noop"))
            samples["add_edge existing"].append(time_method_loop(fixed_pairs, small, "add_edge"))
            samples["has_edge existing"].append(time_method_loop(fixed_pairs, small, "has_edge"))
            # With the store's work: 1,000,000 random edges among 100,000 nodes.
            g = IntGraphCore()
            samples["add_edge random new"].append(time_method_loop(random_pairs, g, "add_edge"))
            samples["has_edge random"].append(time_method_loop(random_pairs, g, "has_edge"))
            del g
    per_call = {k: statistics.median(v) / calls for k, v in samples.items()}
    loop = per_call["loop"]
    floor_call = per_call["noop"] - loop
    rows = {}
    for k, ns in per_call.items():
        if k == "loop":
            continue
        rows[k] = {"ns_per_iteration": round(ns, 1), "ns_per_call": round(ns - loop, 1),
                   "vs_floor": round((ns - loop) / floor_call, 2),
                   "vs_floor_with_loop": round(ns / per_call["noop"], 2)}
    return {"calls": calls, "repeat": repeat, "empty_loop_ns": round(loop, 1), "rows": rows}


MEMORY_CHILD = r"""
import gc, json, sys
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * __import__("os").sysconf("SC_PAGE_SIZE")
from arborvane._accel import IntGraphCore
gc.collect()
g = IntGraphCore()
before = rss()
g.build_random(int(sys.argv[1]), int(sys.argv[2]), seed=int(sys.argv[3]))
after = rss()
degrees = [d for _, d in g.degree_sequence()]
print(json.dumps({"rss_delta": after - before, "nodes": len(g), "edges": g.number_of_edges(),
                  "degrees": degrees}))
"""


def malloc_chunk(request):
    """Bytes glibc malloc takes for a request (16-byte chunks, 8-byte header;
    large requests are mapped whole pages)."""
    if request >= 128 * 1024:
        return (request + 8 + 4095) // 4096 * 4096
    return max(32, (request + 8 + 15) // 16 * 16)


def neighbor_set_heap(degree):
    """Heap request of one neighbour set: inline up to 2 ids, pooled array
    blocks of 8, 24 or 32 ids, then hash tables of 2^k slots (load at most
    3/4, from 64 slots) plus one trailing word."""
    if degree <= 2:
        return 0
    if degree <= 32:
        return 8 * next(cap for cap in (8, 24, 32) if degree <= cap)
    slots = 64
    while degree > slots // 4 * 3:
        slots *= 2
    return 8 * (slots + 1)


def map_slots(nodes, initial=2048):
    slots = initial
    while nodes > slots // 4 * 3:
        slots *= 2
    return slots


def memory_per_edge(nodes, edges, seed, runs):
    results = []
    for k in range(runs):
        out = subprocess.run([sys.executable, "-c", MEMORY_CHILD, str(nodes), str(edges), str(seed + k)],
                             capture_output=True, text=True, check=True, env=os.environ)
        results.append(json.loads(out.stdout))
    first = results[0]
    degrees = first["degrees"]
    slot_bytes = 32  # int64 key + 24-byte NeighborSet
    map_bytes = map_slots(first["nodes"]) * slot_bytes
    set_requests = [neighbor_set_heap(d) for d in degrees]
    set_bytes = sum(set_requests)
    # array blocks come from the graph's block pool (no malloc header); only
    # hash tables are separate malloc chunks
    set_chunks = sum(r if d <= 32 else malloc_chunk(r) for d, r in zip(degrees, set_requests) if r)
    m = first["edges"]
    rss = statistics.median(r["rss_delta"] for r in results)
    return {
        "nodes": first["nodes"], "edges": m, "runs": runs,
        "rss_delta_bytes": rss, "rss_bytes_per_edge": round(rss / m, 2),
        "model_map_bytes": map_bytes, "model_set_bytes": set_bytes,
        "model_set_bytes_with_malloc": set_chunks,
        "model_bytes_per_edge": round((map_bytes + set_bytes) / m, 2),
        "model_bytes_per_edge_with_malloc": round((map_bytes + set_chunks) / m, 2),
        "ids_stored_bytes_per_edge": 16,
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--nodes", type=int, default=100_000)
    parser.add_argument("--edges", type=int, default=1_000_000)
    parser.add_argument("--skip-memory", action="store_true")
    args = parser.parse_args()
    report = {"python": sys.version.split()[0], "call_overhead": call_overhead(args.calls, args.repeat)}
    if not args.skip_memory:
        report["memory"] = memory_per_edge(args.nodes, args.edges, 42, args.repeat)
    print(json.dumps(report, indent=2))


if __name__ == "__main__":
    main()
