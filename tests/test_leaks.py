"""Nothing is kept that should have been released: resident memory stays flat
while many graphs, snapshots and failing calls come and go, and no call,
successful or failing, changes the reference count of an argument object or
of anything inside it."""

import gc
import os
import sys

import pytest

from arborvane._accel import IntGraphCore
from graph_helpers import IndexOnly, IndexRaises, UserSequence

UNDER_SANITIZER = bool(os.environ.get("ARBORVANE_SANITIZER_RUN"))


# ---- resident memory ------------------------------------------------------------


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def churn(round_no):
    """One round: graphs with edges and snapshots, every export, and failing
    calls whose converted lists must be released."""
    ids = list(range(round_no, round_no + 20000))
    for _ in range(3):
        g = IntGraphCore()
        g.add_edges_from(list(zip(ids, ids[1:])))
        g.add_edges_flat(ids[::-1])
        g.build_random(5000, 20000, round_no + 1)
        g.pagerank(max_iter=5)
        g.triangle_count()
        g.add_node(-1)  # drops the snapshot
        g.triangle_count()  # builds another
        g.nodes(), g.edges(), g.edges_flat(), g.degree_sequence(), g.neighbors(ids[0])
        g.has_edges(list(zip(ids, ids[5:])))
        g.connected_component_sizes(), g.subgraph_edge_count(ids), g.shortest_path_length(0, 4999)
        for bad in (ids + ["x"], ids + [2 ** 64]):
            with pytest.raises((TypeError, OverflowError)):
                g.add_nodes_from(bad)
        with pytest.raises(ValueError):
            g.add_edges_from(list(zip(ids, ids)) + [(1, 2, 3)])
        with pytest.raises(BaseException, match="capacity overflow"):
            g.add_nodes_from(HugeLength())
        with pytest.raises(BaseException, match="remainder with a divisor of zero"):
            g.build_random(0, 1)
        del g


class HugeLength:
    def __len__(self):
        return 2 ** 62

    def __getitem__(self, i):
        raise IndexError


@pytest.mark.skipif(UNDER_SANITIZER, reason="the sanitizer's allocator keeps freed memory")
@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_resident_memory_stays_flat():
    for r in range(3):  # warm up: the allocator settles, the pool starts
        churn(r)
    gc.collect()
    start = resident_bytes()
    for r in range(3, 23):
        churn(r)
    gc.collect()
    grown = resident_bytes() - start
    # Each round makes three graphs of ~45 000 edges and copies of ~20 000-id
    # lists; keeping any of it would add hundreds of MB over 20 rounds.
    assert grown < 40 * 2 ** 20, f"resident memory grew by {grown / 2 ** 20:.1f} MiB"


# ---- reference counts --------------------------------------------------------------


def fresh_int(value):
    """An int object of its own (not a cached small int), so that its count
    is ours alone."""
    return int(str(value))


class FloatOnly:
    def __float__(self):
        return 0.5


def id_values():
    return [fresh_int(1001), IndexOnly(fresh_int(1002))]


def bad_id_values():
    return ["x", 1.5, None, 2 ** 70, IndexRaises(), IndexOnly(2 ** 70)]


def id_list_values():
    items = [fresh_int(1000 + k) for k in range(5)]
    return [items, tuple(items), UserSequence(items), [IndexOnly(fresh_int(1005))]]


def bad_id_list_values():
    return ["abc", {fresh_int(1001)}, None, [fresh_int(1001), "x"], [fresh_int(1002), 2 ** 70],
            (fresh_int(1003), IndexRaises()), UserSequence([fresh_int(1004)], length=2 ** 62)]


def pair_list_values():
    pairs = [(fresh_int(1000 + k), fresh_int(1001 + k)) for k in range(5)]
    return [pairs, tuple(pairs), UserSequence(pairs)]


def bad_pair_list_values():
    return [[(fresh_int(1001), fresh_int(1002), fresh_int(1003))], [[fresh_int(1001), fresh_int(1002)]],
            [(fresh_int(1001), "x")], [(fresh_int(1001), IndexRaises())], "ab", {(1, 2)},
            UserSequence([(fresh_int(1001), fresh_int(1002))], length=2 ** 59)]


KINDS = {
    "id": (id_values, bad_id_values),
    "ids": (id_list_values, bad_id_list_values),
    "pairs": (pair_list_values, bad_pair_list_values),
    "n": (lambda: [fresh_int(1000), IndexOnly(fresh_int(1000))], lambda: ["x", None, 2 ** 70]),
    "m": (lambda: [fresh_int(300)], lambda: [-fresh_int(300), 1.5, 2 ** 64]),
    "seed": (lambda: [fresh_int(123456), IndexOnly(fresh_int(123457))], lambda: [None, -fresh_int(1000)]),
    "damping": (lambda: [float("0.85"), fresh_int(1000), FloatOnly()], lambda: ["0.85", None, 10 ** 400]),
    "max_iter": (lambda: [fresh_int(300)], lambda: [-fresh_int(300), 2.5]),
    "tol": (lambda: [float("1e-6")], lambda: [None, "tol"]),
}

METHODS = {  # name: (parameter, kind of value) in order
    "add_node": (("n", "id"),),
    "add_edge": (("u", "id"), ("v", "id")),
    "add_edges_from": (("edges", "pairs"),),
    "add_edges_flat": (("flat", "ids"),),
    "add_nodes_from": (("nodes", "ids"),),
    "has_edge": (("u", "id"), ("v", "id")),
    "build_random": (("n", "n"), ("m", "m"), ("seed", "seed")),
    "has_node": (("n", "id"),),
    "neighbors": (("n", "id"),),
    "degree": (("n", "id"),),
    "has_edges": (("edges", "pairs"),),
    "shortest_path_length": (("source", "id"), ("target", "id")),
    "subgraph_edge_count": (("nodes", "ids"),),
    "pagerank": (("damping", "damping"), ("max_iter", "max_iter"), ("tol", "tol")),
    "__contains__": (("n", "id"),),
}


def reachable(obj, depth=2):
    """The argument and the objects inside it whose counts a call could touch."""
    out = [obj]
    if depth and isinstance(obj, (list, tuple)):
        for item in obj:
            out += reachable(item, depth - 1)
    elif depth and isinstance(obj, UserSequence):
        out += reachable(obj.items, depth - 1)
    elif isinstance(obj, IndexOnly):
        out.append(obj.value)
    return out


def counts(objs):
    # No collection here: a failing call's exception and traceback are freed
    # by reference counting as soon as invoke() returns.
    return [sys.getrefcount(o) for o in objs]


def invoke(g, method, args, kwargs):
    try:
        if method == "__contains__":
            return args[0] in g
        return getattr(g, method)(*args, **kwargs)
    except BaseException as exc:  # noqa: BLE001 - only its type matters here
        return type(exc)


def graph():
    g = IntGraphCore()
    g.add_edges_from([(1000 + k, 1001 + k) for k in range(10)])
    return g


def argument_sets(method):
    """Yields (args, kwargs, should_fail): all-good combinations by position
    and by keyword, then each parameter replaced in turn by every bad value,
    then binding failures."""
    names = [name for name, _ in METHODS[method]]
    goods = [KINDS[kind][0]() for _, kind in METHODS[method]]
    for i in range(max(len(v) for v in goods)):
        yield [v[i % len(v)] for v in goods], {}, False
    if method != "__contains__":
        yield [], {name: v[-1] for name, v in zip(names, goods)}, False
    for pos, (_, kind) in enumerate(METHODS[method]):
        for bad in KINDS[kind][1]():
            args = [v[0] for v in goods]
            args[pos] = bad
            yield args, {}, True
            if method != "__contains__":
                yield args[:pos], dict(zip(names[pos:], args[pos:])), True
    if method != "__contains__":
        first = [v[0] for v in goods]
        yield first, {"extra": fresh_int(5000)}, True
        yield first, {names[0]: fresh_int(5001)}, True


@pytest.mark.parametrize("method", sorted(METHODS))
def test_argument_reference_counts_unchanged(method):
    gc.collect()
    g = graph()
    for args, kwargs, should_fail in argument_sets(method):
        watched = [o for a in args + list(kwargs.values()) for o in reachable(a)] + list(kwargs)
        invoke(g, method, args, kwargs)  # first call: caches and lazy objects settle
        before = counts(watched)
        result = invoke(g, method, args, kwargs)
        after = counts(watched)
        failed = isinstance(result, type) and issubclass(result, BaseException)
        assert failed == should_fail, (method, args, result)
        assert after == before, (method, args, [a - b for a, b in zip(after, before)])
        if isinstance(result, list):
            # Nothing else holds the result: it counts as many references as
            # a list that only this function holds (the absolute number
            # differs between versions).
            own = list(result)
            assert sys.getrefcount(result) == sys.getrefcount(own)
        del result


def test_reentrant_failures_release_everything():
    g = graph()
    holder = [fresh_int(1001)]

    class Reentering:
        def __index__(self):
            g.add_node(holder[0])  # refused: the outer call holds the graph
            return 1

    for call in (lambda x: g.add_node(x), lambda x: g.has_edges([(1, x)]),
                 lambda x: g.add_nodes_from([holder[0], x]), lambda x: g.pagerank(0.5, x)):
        obj = Reentering()
        watched = [obj, holder[0], holder]
        before = counts(watched)
        with pytest.raises(RuntimeError):
            call(obj)
        after = counts(watched)
        assert after == before


def test_constructor_arguments_released():
    obj = fresh_int(12345)
    before = counts([obj])
    for _ in range(5):
        with pytest.raises(TypeError):
            IntGraphCore(obj)
        with pytest.raises(TypeError):
            IntGraphCore(x=obj)
    assert counts([obj]) == before


def test_graph_objects_are_freed():
    gc.collect()
    base = sys.getrefcount(IntGraphCore)
    for _ in range(200):
        g = IntGraphCore()
        g.add_edge(1, 2)
        g.pagerank()
        del g
    gc.collect()
    # Every instance holds a reference to its class until it is freed.
    assert sys.getrefcount(IntGraphCore) == base
