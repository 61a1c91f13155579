"""Random sequences of good and bad calls applied to an IntGraphCore and to a
small pure-Python model side by side.

After every step the graph must match the model (nodes, edges, counts,
neighbour sets, symmetry), its exports must agree with each other, and every
call that failed must have left every export exactly as it was, order
included. At the end the successful calls are replayed on a fresh graph,
which must iterate in the same order: failed calls leave nothing behind.

ARBORVANE_PROPERTY_EXAMPLES and ARBORVANE_PROPERTY_STEPS raise the number of
sequences and their length; the totals are printed at the end of the run.
"""

import array
import math
import os
import struct
from collections import Counter, deque

import pytest
from hypothesis import HealthCheck, event, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

from arborvane._accel import IntGraphCore
from graph_helpers import IndexOnly, IndexRaises, UserSequence

try:
    import numpy as np
except ImportError:  # the buffer forms are then left out
    np = None

INT64_MIN, INT64_MAX = -(2 ** 63), 2 ** 63 - 1
MASK64 = 2 ** 64 - 1

EXAMPLES = int(os.environ.get("ARBORVANE_PROPERTY_EXAMPLES", "60"))
STEPS = int(os.environ.get("ARBORVANE_PROPERTY_STEPS", "30"))

# Totals across all sequences, for the closing summary.
STATS = Counter()
BAD_KINDS = Counter()


# ---- the model ----------------------------------------------------------------


class Model:
    def __init__(self):
        self.adj = {}
        self.edge_count = 0

    def add_node(self, n):
        self.adj.setdefault(n, set())

    def add_edge(self, u, v):
        self.add_node(u)
        new = v not in self.adj[u]
        self.adj[u].add(v)
        self.add_node(v)
        self.adj[v].add(u)
        self.edge_count += new
        return new

    def edge_set(self):
        return {(min(u, v), max(u, v)) for u, nbrs in self.adj.items() for v in nbrs}

    def has_edge(self, u, v):
        return u in self.adj and v in self.adj[u]

    def build_random(self, n, m, seed):
        x = seed or 1
        bound = n & MASK64
        made = 0
        while made < m:
            ends = []
            for _ in range(2):
                x ^= (x << 13) & MASK64
                x ^= x >> 7
                x ^= (x << 17) & MASK64
                draw = x % bound
                ends.append(draw - 2 ** 64 if draw > INT64_MAX else draw)
            if ends[0] != ends[1]:
                made += self.add_edge(*ends)

    def free_pairs(self, n):
        """Pairs of distinct ids in 0..n-1 that are not yet joined."""
        joined = sum(1 for u, v in self.edge_set() if 0 <= u < v < n)
        return n * (n - 1) // 2 - joined

    def triangles(self):
        count = 0
        for u, nbrs in self.adj.items():
            higher = sorted(v for v in nbrs if v > u)
            for i, v in enumerate(higher):
                count += sum(1 for w in higher[i + 1:] if w in self.adj[v])
        return count

    def distance(self, source, target):
        if source == target:
            return 0
        if source not in self.adj or target not in self.adj:
            return -1
        seen, queue = {source}, deque([(source, 0)])
        while queue:
            t, d = queue.popleft()
            for w in self.adj[t]:
                if w == target:
                    return d + 1
                if w not in seen:
                    seen.add(w)
                    queue.append((w, d + 1))
        return -1

    def component_sizes(self, order):
        seen, sizes = set(), []
        for s in order:
            if s in seen:
                continue
            seen.add(s)
            queue, count = deque([s]), 0
            while queue:
                t = queue.popleft()
                count += 1
                for w in self.adj[t] - seen:
                    seen.add(w)
                    queue.append(w)
            sizes.append(count)
        return sizes

    def subgraph_edges(self, ids):
        members = set(ids)
        return sum(1 for u, v in self.edge_set() if u in members and v in members)

    def pagerank(self, order, damping, max_iter, tol):
        """The power iteration with the same float operations in the same order."""
        n = len(order)
        if n == 0:
            return []
        index = {node: i for i, node in enumerate(order)}
        runs = [sorted(self.adj[node]) for node in order]
        rank = [1.0 / n] * n
        teleport = (1.0 - damping) / n
        nxt = [teleport] * n
        for _ in range(max_iter):
            nxt = [teleport] * n
            for i, run in enumerate(runs):
                if run:
                    share = (damping * rank[i]) / float(len(run))
                    for w in run:
                        nxt[index[w]] += share
            change = 0.0
            for a, b in zip(rank, nxt):
                change += abs(a - b)
            rank, nxt = nxt, rank
            if change < tol:
                break
        return list(zip(order, rank))


def same_float(a, b):
    return struct.pack("<d", a) == struct.pack("<d", b) or (math.isnan(a) and math.isnan(b))


# ---- argument shapes -------------------------------------------------------------


class TypeErrorSubclass(TypeError):
    pass


class FailingIteration(UserSequence):
    """Yields its items, then raises instead of ending."""

    def __getitem__(self, i):
        if i >= len(self.items):
            raise KeyError("iteration broke")
        return self.items[i]


class Reentrant:
    """An id whose __index__ first calls back into the graph.

    nested(graph) is the call made; its outcome ("ok" or the RuntimeError
    text) is recorded. With swallow the nested error is ignored and the id
    converts normally; otherwise the error propagates out of __index__."""

    def __init__(self, graph, nested, value, swallow):
        self.graph, self.nested, self.value, self.swallow = graph, nested, value, swallow
        self.outcomes = []

    def __index__(self):
        try:
            self.nested(self.graph)
            self.outcomes.append("ok")
        except RuntimeError as exc:
            self.outcomes.append(str(exc))
            if not self.swallow:
                raise
        return self.value


NESTED_CALLS = {
    "len": (False, lambda g: len(g)),
    "nodes": (False, lambda g: g.nodes()),
    "has_edges": (False, lambda g: g.has_edges([(1, 2)])),
    "add_node": (True, lambda g: g.add_node(987654321)),
    "add_edges_from": (True, lambda g: g.add_edges_from([(987654321, 5)])),
    "triangle_count": (True, lambda g: g.triangle_count()),
    "pagerank": (True, lambda g: g.pagerank()),
}

ids = st.one_of(st.integers(-6, 20), st.sampled_from([INT64_MIN, INT64_MAX, -1, 0]))
id_lists = st.lists(ids, max_size=12)
pair_lists = st.lists(st.tuples(ids, ids), max_size=12)


def id_forms(value):
    """Ways of passing one valid id: int, bool, __index__ object, numpy scalar."""
    forms = [st.just(value), st.just(IndexOnly(value))]
    if value in (0, 1):
        forms.append(st.just(bool(value)))
    if np is not None:
        forms.append(st.just(np.int64(value)))
    return st.one_of(forms)


def pick_one(objects):
    """A strategy choosing one of the given objects (which need not be hashable)."""
    return st.integers(0, len(objects) - 1).map(lambda i: objects[i])


def id_seq_forms(values):
    """Ways of passing a valid id list: list, tuple, user sequences whose
    length lies or fails, integer buffers, bytes and range where the values allow."""
    forms = [
        list(values),
        tuple(values),
        UserSequence(values),
        UserSequence(values, length=0),
        UserSequence(values, length=2 ** 40),
        UserSequence(values, length_error=ValueError("no length")),
    ]
    if all(0 <= v < 256 for v in values):
        forms.append(bytes(values))
    # Buffers of machine integers, which may be read without per-element calls.
    forms.append(array.array("q", values))
    padded = [x for v in values for x in (v, -7)]  # every other slot, read through a stride
    forms.append(memoryview(array.array("q", padded))[::2])
    if np is not None:
        forms.append(np.array(values, dtype=np.int64))
        forms.append(np.array(padded, dtype=">i8")[::2])
        if all(-2 ** 31 <= v < 2 ** 31 for v in values):
            forms.append(np.array(values, dtype=np.int32))
        if all(v >= 0 for v in values):
            forms.append(np.array(values, dtype=np.uint64))
    if values and values == list(range(values[0], values[0] + len(values))):
        forms.append(range(values[0], values[0] + len(values)))
    return pick_one(forms)


def pair_seq_forms(pairs):
    return st.one_of(
        st.just(list(pairs)),
        st.just(tuple(pairs)),
        st.just(UserSequence(pairs)),
        st.just(UserSequence(pairs, length=2 ** 58)),
        st.just(UserSequence(pairs, length_error=OverflowError("no length"))),
    )


# Bad values for one id parameter: (value, exception type, takes the
# "argument 'P': " prefix, kind). A None exception type marks a value
# whose __index__ raises an error of its own that must pass unchanged.
BAD_IDS = [
    ("5", TypeError, True, "str"),
    (5.0, TypeError, True, "float"),
    (None, TypeError, True, "None"),
    ([1], TypeError, True, "list"),
    (b"1", TypeError, True, "bytes"),
    (2 ** 63, OverflowError, False, "too large"),
    (INT64_MIN - 1, OverflowError, False, "too small"),
    (2 ** 64, OverflowError, False, "too large"),
    (IndexRaises(ValueError("from __index__")), ValueError, False, "__index__ raises"),
    (IndexRaises(TypeErrorSubclass("from __index__")), TypeErrorSubclass, False, "__index__ raises"),
    (IndexRaises(TypeError("plain")), TypeError, True, "__index__ raises"),
    (IndexOnly(2 ** 63), OverflowError, False, "__index__ out of range"),
]

# Bad sequence arguments (whole object): (value, exception type, message or None).
BAD_SEQUENCES = [
    ("123", TypeError, "argument '{p}': Can't extract `str` to `Vec`", "str"),
    ({1, 2}, TypeError, "argument '{p}': 'set' object is not an instance of 'Sequence'", "set"),
    ({1: 2}, TypeError, "argument '{p}': 'dict' object is not an instance of 'Sequence'", "dict"),
    (None, TypeError, "argument '{p}': 'None' is not an instance of 'Sequence'", "None"),
    (7, TypeError, "argument '{p}': 'int' object is not an instance of 'Sequence'", "int"),
    (UserSequence([1, 2], length=2 ** 62), BaseException, "capacity overflow", "huge __len__"),
    (FailingIteration([1, 2, 3, 4]), KeyError, None, "iteration raises"),
    (array.array("Q", [1, 2 ** 63]), OverflowError, None, "buffer value out of range"),
    (array.array("d", [1.0, 2.0]), TypeError, None, "buffer of floats"),
]
if np is not None:
    BAD_SEQUENCES += [
        (np.array([3, 2 ** 64 - 1], dtype=np.uint64), OverflowError, None, "buffer value out of range"),
        (np.array([1.0, 2.0]), TypeError, None, "buffer of floats"),
        (np.arange(4).reshape(2, 2), TypeError, None, "2-d buffer"),
    ]

BAD_PAIRS = [
    ([1, 2], TypeError, "argument '{p}': 'list' object is not an instance of 'tuple'", "list pair"),
    ((1, 2, 3), ValueError, "expected tuple of length 2, but got tuple of length 3", "3-tuple"),
    ((1,), ValueError, "expected tuple of length 2, but got tuple of length 1", "1-tuple"),
    ((), ValueError, "expected tuple of length 2, but got tuple of length 0", "0-tuple"),
    (("a", 1), TypeError, None, "str in pair"),
    ((1, 2 ** 63), OverflowError, None, "out of range in pair"),
    (5, TypeError, "argument '{p}': 'int' object is not an instance of 'tuple'", "int pair"),
]

SCALAR_METHODS = {
    # name: (parameters, exclusive)
    "add_node": (("n",), True),
    "add_edge": (("u", "v"), True),
    "has_node": (("n",), False),
    "has_edge": (("u", "v"), False),
    "degree": (("n",), False),
    "neighbors": (("n",), False),
    "shortest_path_length": (("source", "target"), False),
    "__contains__": (("n",), False),
}
ID_LIST_METHODS = {"add_nodes_from": ("nodes", True), "add_edges_flat": ("flat", True),
                   "subgraph_edge_count": ("nodes", False)}
PAIR_LIST_METHODS = {"add_edges_from": True, "has_edges": False}


def call(g, method, args):
    if method == "__contains__":
        return args[0] in g
    return getattr(g, method)(*args)


# ---- the state machine --------------------------------------------------------------


class GraphAgainstModel(RuleBasedStateMachine):
    @initialize()
    def start(self):
        self.g = IntGraphCore()
        self.model = Model()
        self.replay = []  # successful mutations, native arguments
        STATS["sequences"] += 1

    # -- helpers

    def exports(self):
        g = self.g
        return (repr(g), g.nodes(), g.edges(), g.edges_flat(), g.degree_sequence(),
                g.number_of_edges(), len(g))

    def apply_model(self, method, args):
        m = self.model
        if method == "add_node":
            m.add_node(args[0])
        elif method == "add_edge":
            m.add_edge(*args)
        elif method == "add_nodes_from":
            for n in args[0]:
                m.add_node(n)
        elif method == "add_edges_from":
            for u, v in args[0]:
                m.add_edge(u, v)
        elif method == "add_edges_flat":
            flat = args[0]
            for i in range(0, len(flat) - 1, 2):
                m.add_edge(flat[i], flat[i + 1])
        elif method == "build_random":
            m.build_random(*args)
        self.replay.append((method, args))

    def expect_failure(self, kind, fn, exc_type, message=None, prefix=None):
        """Runs a call that must fail with exc_type and change nothing."""
        before = self.exports()
        with pytest.raises(exc_type) as info:
            fn()
        if exc_type is BaseException:  # the internal error
            assert type(info.value).__name__ == "PanicException"
        else:
            assert type(info.value) is exc_type
        if message is not None:
            assert str(info.value) == message
        if prefix:
            assert str(info.value).startswith(prefix)
        elif prefix == "":  # errors other than a plain TypeError keep their own text
            assert not str(info.value).startswith("argument '")
        assert self.exports() == before, f"failed call ({kind}) changed the graph"
        STATS["bad inputs"] += 1
        BAD_KINDS[kind] += 1
        event(f"bad input: {kind}")

    def check_query(self, method, args, result):
        m = self.model
        if method in ("has_node", "__contains__"):
            assert result is (args[0] in m.adj)
        elif method == "has_edge":
            assert result is m.has_edge(*args)
        elif method == "degree":
            assert result == len(m.adj.get(args[0], ()))
        elif method == "neighbors":
            assert sorted(result) == sorted(m.adj.get(args[0], ()))
        elif method == "shortest_path_length":
            assert result == m.distance(*args)
        elif method == "subgraph_edge_count":
            assert result == m.subgraph_edges(args[0])
        elif method == "has_edges":
            assert result == [m.has_edge(u, v) for u, v in args[0]]
        else:
            raise AssertionError(method)
        STATS["good calls"] += 1

    # -- good calls

    @rule(method=st.sampled_from(sorted(SCALAR_METHODS)), data=st.data())
    def scalar_call(self, method, data):
        params, exclusive = SCALAR_METHODS[method]
        args = [data.draw(st.one_of(ids, st.sampled_from(sorted(self.model.adj) or [0])))
                for _ in params]
        shown = [data.draw(id_forms(a)) for a in args]
        if exclusive:
            assert call(self.g, method, shown) is None
            self.apply_model(method, args)
            STATS["good calls"] += 1
        else:
            self.check_query(method, args, call(self.g, method, shown))

    @rule(method=st.sampled_from(sorted(ID_LIST_METHODS)), values=id_lists, data=st.data())
    def id_list_call(self, method, values, data):
        shown = data.draw(id_seq_forms(values))
        if ID_LIST_METHODS[method][1]:
            assert getattr(self.g, method)(shown) is None
            self.apply_model(method, [values])
            STATS["good calls"] += 1
        else:
            self.check_query(method, [values], getattr(self.g, method)(shown))

    @rule(method=st.sampled_from(sorted(PAIR_LIST_METHODS)), pairs=pair_lists, data=st.data())
    def pair_list_call(self, method, pairs, data):
        shown = data.draw(pair_seq_forms(pairs))
        if PAIR_LIST_METHODS[method]:
            assert self.g.add_edges_from(shown) is None
            self.apply_model(method, [pairs])
            STATS["good calls"] += 1
        else:
            self.check_query(method, [pairs], self.g.has_edges(shown))

    @rule(n=st.integers(0, 14), data=st.data(), seed=st.sampled_from([0, 1, 42, 7, MASK64]))
    def build_random(self, n, data, seed):
        m = data.draw(st.integers(0, min(self.model.free_pairs(n), 12)))
        if n == 0 and m > 0:
            self.expect_failure("build_random n=0", lambda: self.g.build_random(0, m, seed),
                                BaseException, "attempt to calculate the remainder with a divisor of zero")
            return
        self.g.build_random(n, m, seed)
        self.apply_model("build_random", (n, m, seed))
        STATS["good calls"] += 1

    @rule(damping=st.sampled_from([0.85, 0.5, 0.0, 1.0, 1, math.nan]),
          max_iter=st.integers(0, 40), tol=st.sampled_from([1e-6, 0.0, -1.0, 1e-12, math.nan]))
    def pagerank(self, damping, max_iter, tol):
        result = self.g.pagerank(damping, max_iter, tol=tol)
        order = self.g.nodes()
        expected = self.model.pagerank(order, float(damping), max_iter, tol)
        assert [node for node, _ in result] == order
        assert all(same_float(a[1], b[1]) for a, b in zip(result, expected)), (result, expected)
        STATS["good calls"] += 1

    @rule()
    def analytics(self):
        g, m = self.g, self.model
        assert g.triangle_count() == m.triangles()
        assert g.connected_component_sizes() == m.component_sizes(g.nodes())
        STATS["good calls"] += 2

    # -- bad calls

    @rule(method=st.sampled_from(sorted(SCALAR_METHODS)), bad=st.sampled_from(BAD_IDS), data=st.data())
    def scalar_bad(self, method, bad, data):
        params, _ = SCALAR_METHODS[method]
        value, exc, prefixed, kind = bad
        position = data.draw(st.integers(0, len(params) - 1))
        args = [data.draw(ids) for _ in params]
        args[position] = value
        prefix = f"argument '{params[position]}': " if prefixed else ""
        self.expect_failure(f"id: {kind}", lambda: call(self.g, method, args), exc, prefix=prefix)

    @rule(method=st.sampled_from(sorted(ID_LIST_METHODS)), good=id_lists,
          bad=st.sampled_from(BAD_IDS), data=st.data())
    def id_list_bad_element(self, method, good, bad, data):
        param = ID_LIST_METHODS[method][0]
        value, exc, prefixed, kind = bad
        items = good + [value] + data.draw(id_lists)
        shown = data.draw(st.sampled_from([items, tuple(items), UserSequence(items)]))
        prefix = f"argument '{param}': " if prefixed else ""
        self.expect_failure(f"list element: {kind}", lambda: getattr(self.g, method)(shown), exc,
                            prefix=prefix)

    @rule(method=st.sampled_from(sorted(ID_LIST_METHODS) + sorted(PAIR_LIST_METHODS)),
          bad=st.sampled_from(BAD_SEQUENCES))
    def sequence_bad(self, method, bad):
        value, exc, message, kind = bad
        param = ID_LIST_METHODS[method][0] if method in ID_LIST_METHODS else "edges"
        if method in PAIR_LIST_METHODS:
            if kind == "iteration raises":
                value = FailingIteration([(1, 2), (3, 4)])
            elif "buffer" in kind:  # its elements are not tuples
                exc = TypeError
        msg = message.format(p=param) if message else None
        prefix = f"argument '{param}': " if exc is TypeError and msg is None else None
        self.expect_failure(f"sequence: {kind}", lambda: getattr(self.g, method)(value), exc, msg, prefix)

    @rule(method=st.sampled_from(sorted(PAIR_LIST_METHODS)), good=pair_lists,
          bad=st.sampled_from(BAD_PAIRS), data=st.data())
    def pair_list_bad_element(self, method, good, bad, data):
        value, exc, message, kind = bad
        items = good + [value] + data.draw(pair_lists)
        msg = message.format(p="edges") if message else None
        prefix = "argument 'edges': " if exc is TypeError and message is None else None
        self.expect_failure(f"pair: {kind}", lambda: getattr(self.g, method)(items), exc, msg, prefix)

    @rule(pairs=pair_lists)
    def pairs_huge_len(self, pairs):
        # At or above 2**59 pairs the native list could not be allocated.
        self.expect_failure("sequence: huge __len__",
                            lambda: self.g.add_edges_from(UserSequence(pairs, length=2 ** 59)),
                            BaseException, "capacity overflow")

    @rule(data=st.data())
    def numeric_bad(self, data):
        g = self.g
        cases = [
            ("build_random m<0", lambda: g.build_random(5, -1), OverflowError, ""),
            ("build_random seed=None", lambda: g.build_random(5, 1, None), TypeError, "argument 'seed': "),
            ("build_random m=1.0", lambda: g.build_random(5, 1.0), TypeError, "argument 'm': "),
            ("build_random seed>=2**64", lambda: g.build_random(5, 1, 2 ** 64), OverflowError, ""),
            ("build_random n str", lambda: g.build_random("5", 1), TypeError, "argument 'n': "),
            ("pagerank damping=None", lambda: g.pagerank(None), TypeError, "argument 'damping': "),
            ("pagerank damping str", lambda: g.pagerank("0.5"), TypeError, "argument 'damping': "),
            ("pagerank huge damping", lambda: g.pagerank(10 ** 400), OverflowError, ""),
            ("pagerank max_iter<0", lambda: g.pagerank(max_iter=-1), OverflowError, ""),
            ("pagerank max_iter float", lambda: g.pagerank(0.85, 10.0), TypeError, "argument 'max_iter': "),
            ("pagerank tol=None", lambda: g.pagerank(tol=None), TypeError, "argument 'tol': "),
        ]
        if not self.model.adj:
            cases.append(("build_random n<0 on empty", lambda: g.build_random(-3, 0),
                          BaseException, None))
        kind, fn, exc, prefix = data.draw(st.sampled_from(cases))
        message = "Hash table capacity overflow" if prefix is None else None
        self.expect_failure(kind, fn, exc, message=message, prefix=prefix)

    @rule(data=st.data())
    def binding_bad(self, data):
        g = self.g
        cases = [
            (lambda: g.add_node(), "IntGraphCore.add_node() missing 1 required positional argument: 'n'"),
            (lambda: g.add_edge(1), "IntGraphCore.add_edge() missing 1 required positional argument: 'v'"),
            (lambda: g.add_edge(), "IntGraphCore.add_edge() missing 2 required positional arguments: 'u' and 'v'"),
            (lambda: g.add_node(1, 2), "IntGraphCore.add_node() takes 1 positional arguments but 2 were given"),
            (lambda: g.add_node(1, n=2), "IntGraphCore.add_node() got multiple values for argument 'n'"),
            (lambda: g.add_edge(1, 2, w=3), "IntGraphCore.add_edge() got an unexpected keyword argument 'w'"),
            (lambda: g.add_edges_from([(1, 2)], [(3, 4)]),
             "IntGraphCore.add_edges_from() takes 1 positional arguments but 2 were given"),
            (lambda: g.build_random(1, 2, 3, 4),
             "IntGraphCore.build_random() takes from 2 to 3 positional arguments but 4 were given"),
            (lambda: g.pagerank(0.85, 1, 1e-6, 0), "IntGraphCore.pagerank() takes from 0 to 3 positional arguments but 4 were given"),
            (lambda: g.has_edges(), "IntGraphCore.has_edges() missing 1 required positional argument: 'edges'"),
            (lambda: g.nodes(1), None),
            (lambda: g.triangle_count(x=1), None),
        ]
        fn, message = data.draw(st.sampled_from(cases))
        self.expect_failure("binding", fn, TypeError, message)

    @rule(data=st.data(), nested=st.sampled_from(sorted(NESTED_CALLS)), swallow=st.booleans(),
          value=ids)
    def reentrant(self, data, nested, swallow, value):
        """An argument whose conversion calls back into the same graph."""
        g, m = self.g, self.model
        nested_exclusive, nested_fn = NESTED_CALLS[nested]
        obj = Reentrant(g, nested_fn, value, swallow)
        method = data.draw(st.sampled_from(
            sorted(SCALAR_METHODS) + sorted(ID_LIST_METHODS) + sorted(PAIR_LIST_METHODS)
            + ["build_random", "pagerank"]))
        if method in SCALAR_METHODS:
            params, outer_exclusive = SCALAR_METHODS[method]
            args = [value] * len(params)
            shown = list(args)
            shown[data.draw(st.integers(0, len(params) - 1))] = obj
            run = lambda: call(g, method, shown)  # noqa: E731
        elif method in ID_LIST_METHODS:
            outer_exclusive = ID_LIST_METHODS[method][1]
            args = [[value, 3]]
            run = lambda: getattr(g, method)([obj, 3])  # noqa: E731
        elif method in PAIR_LIST_METHODS:
            outer_exclusive = PAIR_LIST_METHODS[method]
            args = [[(3, value)]]
            run = lambda: getattr(g, method)([(3, obj)])  # noqa: E731
        elif method == "build_random":
            outer_exclusive = True
            obj.value = 0  # m = 0: only the snapshot is dropped
            args = (3, 0, 42)
            run = lambda: g.build_random(3, obj)  # noqa: E731
        else:
            outer_exclusive = True
            obj.value = 3  # max_iter
            args = None
            run = lambda: g.pagerank(0.85, obj)  # noqa: E731

        if nested_exclusive:
            expected_nested = "Already borrowed"
        else:
            expected_nested = "Already mutably borrowed" if outer_exclusive else "ok"
        if expected_nested == "ok" or swallow:
            before = self.exports()
            result = run()
            assert obj.outcomes == [expected_nested]
            if args is None:
                expected = m.pagerank(g.nodes(), 0.85, 3, 1e-6)
                assert all(same_float(a[1], b[1]) for a, b in zip(result, expected))
                assert self.exports() == before
            elif outer_exclusive:
                self.apply_model(method, args)
            else:
                self.check_query(method, args, result)
            STATS["good calls"] += 1
            STATS["re-entrant calls"] += 1
        else:
            self.expect_failure("re-entrant", run, RuntimeError, expected_nested)
            assert obj.outcomes == [expected_nested]
            STATS["re-entrant calls"] += 1

    @rule(method=st.sampled_from(sorted(ID_LIST_METHODS)), nested=st.sampled_from(sorted(NESTED_CALLS)),
          values=id_lists)
    def reentrant_length(self, method, nested, values):
        """A sequence whose __len__ calls back into the graph: the failed
        length is ignored and the elements are still read."""
        g = self.g
        _, nested_fn = NESTED_CALLS[nested]
        outcomes = []

        class Seq(UserSequence):
            def __len__(self):
                try:
                    nested_fn(g)
                    outcomes.append("ok")
                except RuntimeError as exc:
                    outcomes.append(str(exc))
                    raise
                return len(self.items)

        result = getattr(g, method)(Seq(values))
        assert len(outcomes) == 1
        if ID_LIST_METHODS[method][1]:
            assert result is None
            self.apply_model(method, [values])
        else:
            assert result == self.model.subgraph_edges(values)
        STATS["good calls"] += 1
        STATS["re-entrant calls"] += 1

    @rule(method=st.sampled_from(sorted(ID_LIST_METHODS) + sorted(PAIR_LIST_METHODS)),
          before=id_lists, after=id_lists, value=ids, second=ids)
    def argument_emptied_while_read(self, method, before, after, value, second):
        """An element whose conversion empties the list being read: what was
        read so far counts, the rest is never seen, nothing dangles."""
        items = []
        clearing = IndexOnly(value)
        clearing.__class__ = type("Clearing", (IndexOnly,), {
            "__index__": lambda obj: (items.clear(), obj.value)[1]})
        if method in ID_LIST_METHODS:
            items += before + [clearing] + after
            seen = before + [value]
        else:
            items += [(a, b) for a, b in zip(before, before[1:])] + [(clearing, second)]
            seen = [(a, b) for a, b in zip(before, before[1:])] + [(value, second)]
            items += [(a, a) for a in after]
        result = getattr(self.g, method)(items)
        if method in ("subgraph_edge_count", "has_edges"):
            self.check_query(method, [seen], result)
        else:
            assert result is None
            self.apply_model(method, [seen])
            STATS["good calls"] += 1
        event("argument emptied while read")

    # -- checks after every step

    @invariant()
    def matches_model(self):
        g, m = self.g, self.model
        nodes = g.nodes()
        assert len(nodes) == len(set(nodes)) == g.number_of_nodes() == len(g) == len(m.adj)
        assert set(nodes) == m.adj.keys()
        assert bool(g) == bool(m.adj)

        edges = g.edges()
        assert all(type(e) is tuple and len(e) == 2 and e[0] <= e[1] for e in edges)
        assert len(edges) == len(set(edges)) == g.number_of_edges() == m.edge_count
        assert set(edges) == m.edge_set()
        assert g.edges_flat() == [x for e in edges for x in e]

        degrees = g.degree_sequence()
        assert [n for n, _ in degrees] == nodes
        assert dict(degrees) == {n: len(s) for n, s in m.adj.items()}
        assert repr(g) == f"IntGraphCore(nodes={len(m.adj)}, edges={m.edge_count})"

        for n in nodes:
            nbrs = g.neighbors(n)
            assert len(nbrs) == len(set(nbrs)) == g.degree(n)
            assert set(nbrs) == m.adj[n]
            assert all(g.has_edge(w, n) for w in nbrs), "neighbour sets not symmetric"
        both_ways = edges + [(v, u) for u, v in edges]
        assert g.has_edges(both_ways) == [True] * len(both_ways)
        assert g.subgraph_edge_count(nodes) == m.edge_count
        assert sum(g.connected_component_sizes()) == len(nodes)
        STATS["steps checked"] += 1

    def teardown(self):
        # The same successful calls on a fresh graph iterate in the same order:
        # nothing a failed call did survived in the tables.
        fresh = IntGraphCore()
        for method, args in self.replay:
            getattr(fresh, method)(*args)
        assert fresh.nodes() == self.g.nodes()
        assert fresh.edges() == self.g.edges()
        assert fresh.degree_sequence() == self.g.degree_sequence()


GraphAgainstModel.TestCase.settings = settings(
    max_examples=EXAMPLES,
    stateful_step_count=STEPS,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much],
)
TestGraphAgainstModel = GraphAgainstModel.TestCase


def test_summary(capsys):
    """Prints the totals of the run above (shown with -s or in the report)."""
    if STATS["sequences"] == 0:
        pytest.skip("the property test did not run")
    lines = [f"property tests: {STATS['sequences']} sequences, {STATS['steps checked']} checked steps, "
             f"{STATS['good calls']} good calls, {STATS['re-entrant calls']} re-entrant calls, "
             f"{STATS['bad inputs']} bad inputs"]
    lines += [f"  {count:6d}  {kind}" for kind, count in sorted(BAD_KINDS.items())]
    with capsys.disabled():
        print("\n" + "\n".join(lines))
    assert STATS["bad inputs"] > 0
