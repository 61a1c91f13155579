"""Sequence arguments: list-of-ids and list-of-pairs conversion, their
messages, and the in-place fast paths (lists, tuples, integer buffers)
checked against element-by-element conversion through an iterator."""

import array
import collections.abc
import sys

import pytest

from arborvane._accel import IntGraphCore

from conftest import snapshot


class Seq(collections.abc.Sequence):
    """A user sequence: converted through the iterator protocol."""

    def __init__(self, items, length=None):
        self.items = list(items)
        self.length = len(self.items) if length is None else length

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        return self.items[i]


class RaisingLen(Seq):
    def __len__(self):
        raise RuntimeError("no length")


class Index:
    """An object that converts through __index__, optionally running code."""

    def __init__(self, value, action=None):
        self.value = value
        self.action = action

    def __index__(self):
        if self.action:
            self.action()
        return self.value


def loaded_nodes(arg):
    g = IntGraphCore()
    g.add_nodes_from(arg)
    return g.nodes()


def outcome(fn, arg):
    """The result or the (type, message) of the exception of fn(arg)."""
    try:
        return ("ok", fn(arg))
    except BaseException as exc:  # PanicException derives from BaseException
        return (type(exc), str(exc))


# ---- messages -----------------------------------------------------------------

@pytest.mark.parametrize("method,param", [
    ("add_nodes_from", "nodes"), ("add_edges_flat", "flat"), ("subgraph_edge_count", "nodes"),
    ("add_edges_from", "edges"), ("has_edges", "edges"),
])
def test_refusals_name_the_parameter(g, method, param):
    fn = getattr(g, method)
    with pytest.raises(TypeError, match=rf"^argument '{param}': Can't extract `str` to `Vec`$"):
        fn("12")
    for arg, tname in [({1, 2}, "set"), ((x for x in [1]), "generator"), (iter([1]), "list_iterator"),
                       ({1: 2}, "dict"), (5, "int")]:
        with pytest.raises(TypeError) as info:
            fn(arg)
        assert str(info.value) == f"argument '{param}': '{tname}' object is not an instance of 'Sequence'"
    with pytest.raises(TypeError) as info:
        fn(None)
    assert str(info.value) == f"argument '{param}': 'None' is not an instance of 'Sequence'"


def test_str_subclass_is_refused_as_str(g):
    class Text(str):
        pass
    with pytest.raises(TypeError, match="^argument 'nodes': Can't extract `str` to `Vec`$"):
        g.add_nodes_from(Text("12"))


def test_element_errors(g):
    with pytest.raises(TypeError) as info:
        g.add_nodes_from([1, 2.5])
    assert str(info.value).startswith("argument 'nodes': ")
    with pytest.raises(OverflowError) as info:
        g.add_nodes_from([1, 2**63])
    assert "argument" not in str(info.value)
    with pytest.raises(OverflowError):
        g.add_edges_flat((1, -(2**63) - 1))
    assert g.number_of_nodes() == 0


def test_pair_element_errors(g):
    with pytest.raises(TypeError) as info:
        g.add_edges_from([(1, 2), [1, 2]])
    assert str(info.value) == "argument 'edges': 'list' object is not an instance of 'tuple'"
    with pytest.raises(TypeError) as info:
        g.has_edges([None])
    assert str(info.value) == "argument 'edges': 'None' is not an instance of 'tuple'"
    for bad, got in [((1, 2, 3), 3), ((1,), 1), ((), 0)]:
        with pytest.raises(ValueError) as info:
            g.add_edges_from([(0, 0), bad])
        assert str(info.value) == f"expected tuple of length 2, but got tuple of length {got}"
    with pytest.raises(TypeError, match="^argument 'edges': "):
        g.add_edges_from([(1, "x")])
    with pytest.raises(OverflowError):
        g.add_edges_from(((2**63, 1),))
    assert g.number_of_nodes() == 0


def test_tuple_subclass_pairs_are_accepted(g):
    Point = collections.namedtuple("Point", "x y")
    g.add_edges_from([Point(1, 2)])
    assert g.edges() == [(1, 2)]


def test_index_exceptions_pass_through(g):
    class Boom(Exception):
        pass

    def boom():
        raise Boom("from __index__")

    class TypeErrorSub(TypeError):
        pass

    def sub():
        raise TypeErrorSub("subclass")

    for container in (list, tuple, Seq):
        with pytest.raises(Boom):
            g.add_nodes_from(container([1, Index(2, boom)]))
        with pytest.raises(TypeErrorSub, match="^subclass$"):
            g.add_nodes_from(container([Index(2, sub)]))
    assert g.number_of_nodes() == 0


def test_later_elements_are_never_read(g):
    seen = []
    items = [Index(1, lambda: seen.append(1)), 2.5, Index(3, lambda: seen.append(3))]
    for container in (list, tuple, Seq):
        seen.clear()
        with pytest.raises(TypeError):
            g.add_nodes_from(container(items))
        assert seen == [1]
    pairs = [(Index(1, lambda: seen.append("a")), 2), [3, 4], (Index(5, lambda: seen.append("b")), 6)]
    seen.clear()
    with pytest.raises(TypeError):
        g.add_edges_from(pairs)
    assert seen == ["a"]


def test_reported_length(g):
    assert loaded_nodes(RaisingLen([4, 5])) == loaded_nodes([4, 5])
    # A length far off the contents is only a hint.
    assert loaded_nodes(Seq([1, 2, 3], length=1)) == loaded_nodes([1, 2, 3])
    assert loaded_nodes(Seq([1], length=10**6)) == [1]
    before = snapshot(g)
    for method, limit in [("add_nodes_from", 2**60), ("add_edges_from", 2**59)]:
        for length in (limit, 2**62):
            with pytest.raises(BaseException) as info:
                getattr(g, method)(Seq([], length=length))
            panic = type(info.value)
            assert panic.__name__ == "PanicException" and not issubclass(panic, Exception)
            assert str(info.value) == "capacity overflow"
            assert snapshot(g) == before
    # Just below the limit the hint is accepted (and not trusted for memory).
    g.add_edges_from(Seq([(1, 2)], length=2**59 - 1))
    assert g.edges() == [(1, 2)]


def test_iteration_errors_pass_through(g):
    class BadIter(Seq):
        def __iter__(self):
            raise KeyError("no iterator")

    class FailsLater(Seq):
        def __iter__(self):
            yield 1
            raise LookupError("halfway")

    with pytest.raises(KeyError):
        g.add_nodes_from(BadIter([1]))
    with pytest.raises(LookupError):
        g.add_nodes_from(FailsLater([1]))
    assert g.number_of_nodes() == 0


def test_accepted_sequence_kinds():
    assert loaded_nodes(range(3)) == loaded_nodes([0, 1, 2])
    assert sorted(loaded_nodes(b"\x01\x02")) == [1, 2]
    assert sorted(loaded_nodes([True, False])) == [0, 1]
    assert loaded_nodes(Seq([Index(-7)])) == [-7]
    for empty in ([], (), b"", bytearray(), array.array("q"), memoryview(b"")):
        assert loaded_nodes(empty) == []


# ---- in-place reading of lists and tuples ----------------------------------------

def test_list_and_tuple_match_iteration():
    values = [0, -1, 1, 255, 256, 2**30, -(2**30), 2**31, 2**62, 2**63 - 1, -(2**63), True, Index(9)]
    via_iterator = loaded_nodes(Seq(values))
    assert loaded_nodes(values) == via_iterator
    assert loaded_nodes(tuple(values)) == via_iterator
    pairs = [(v, values[-1 - i]) for i, v in enumerate(values)]
    g1, g2, g3 = IntGraphCore(), IntGraphCore(), IntGraphCore()
    g1.add_edges_from(pairs)
    g2.add_edges_from(tuple(pairs))
    g3.add_edges_from(Seq(pairs))
    assert g1.edges() == g2.edges() == g3.edges()


def _mutating_cases():
    """(name, build) pairs; build() returns a fresh list whose elements'
    __index__ change the list itself while it is converted."""

    def grow():
        lst = [1, 2]
        lst.insert(1, Index(10, lambda: lst.extend([20, 30])))
        return lst

    def shrink():
        lst = [1]
        lst.append(Index(10, lambda: lst.__delitem__(slice(1, None))))
        lst.extend([20, 30])
        return lst

    def clear():
        lst = [1]
        lst.append(Index(10, lst.clear))
        lst.extend([20, 30])
        return lst

    def replace_later():
        lst = [Index(10, lambda: lst.__setitem__(2, 99)), 20, 30]
        return lst

    def remove_self():
        # The element drops itself (the only reference) from the list.
        lst = [0, None, 5]
        lst[1] = Index(7, lambda: lst.pop(1))
        return lst

    def pop_before():
        lst = [1, 2]
        lst.append(Index(3, lambda: lst.pop(0)))
        lst.extend([4, 5])
        return lst

    return [grow, shrink, clear, replace_later, remove_self, pop_before]


@pytest.mark.parametrize("build", _mutating_cases(), ids=lambda f: f.__name__)
def test_list_mutated_by_index_reads_like_its_iterator(build):
    expected = [int(x) if not isinstance(x, Index) else x.value for x in _iterate(build())]
    assert loaded_nodes(build()) == loaded_nodes(expected)
    g = IntGraphCore()
    lst = build()
    flat = lst
    g.add_edges_flat(flat)
    ref = IntGraphCore()
    ref.add_edges_flat(expected)
    assert g.edges() == ref.edges()


def _iterate(lst):
    """What the list iterator yields, converting each element as it goes."""
    out = []
    for x in lst:
        if isinstance(x, Index):
            x.__index__()
        out.append(x)
    return out


def test_pair_list_mutated_by_index():
    lst = [(1, 2)]
    lst.append((Index(3, lst.clear), 4))
    lst.append((5, 6))
    g = IntGraphCore()
    g.add_edges_from(lst)
    assert sorted(g.edges()) == [(1, 2), (3, 4)]
    lst = [(1, 2)]
    lst.append((Index(3, lambda: lst.append((7, 8))), 4))
    g = IntGraphCore()
    g.add_edges_from(lst)
    assert sorted(g.edges()) == [(1, 2), (3, 4), (7, 8)]


# ---- integer buffers -------------------------------------------------------------

class Delegate(collections.abc.Sequence):
    """Iterates exactly as the wrapped object does, but is of a type that no
    fast path reads in place: the element-by-element reference."""

    def __init__(self, obj):
        self.obj = obj

    def __len__(self):
        raise TypeError("no length")

    def __getitem__(self, i):
        raise AssertionError("conversion iterates")

    def __iter__(self):
        return iter(self.obj)


def same_as_iteration(obj):
    """Converting obj gives the same nodes, or the same error, as converting
    it element by element through its own iterator."""
    direct = outcome(loaded_nodes, obj)
    assert direct == outcome(loaded_nodes, Delegate(obj)), obj
    return direct


@pytest.mark.parametrize("code", list("bBhHiIlLqQ"))
def test_array_module_buffers(code):
    info = array.array(code)
    lo = -(2 ** (8 * info.itemsize - 1)) if code.islower() else 0
    hi = 2 ** (8 * info.itemsize - (1 if code.islower() else 0)) - 1
    values = [lo, hi, 0, 1, lo + 1, hi - 1]
    if hi >= 2**63:
        values = [0, 1, 2**63 - 1]
    result = same_as_iteration(array.array(code, values))
    assert result[0] == "ok"
    assert sorted(result[1]) == sorted(set(values))
    assert same_as_iteration(memoryview(array.array(code, values)))[0] == "ok"


def test_unsigned_64_bit_overflow_matches_element_conversion():
    for code in "QL":
        if array.array(code).itemsize != 8:
            continue
        big = array.array(code, [1, 2**63, 5])
        result = same_as_iteration(big)
        assert result[0] is OverflowError
        assert result == outcome(loaded_nodes, [1, 2**63, 5])
        assert same_as_iteration(memoryview(big)) == result


def test_bytes_like_and_memoryview_shapes():
    data = bytes(range(256))
    for obj in (data, bytearray(data), memoryview(data), memoryview(data)[::-3],
                memoryview(bytearray(data))[10:20]):
        assert same_as_iteration(obj)[0] == "ok"
    # Views a memoryview cannot iterate, or whose items are not ints, fail
    # as element-by-element conversion fails.
    raw = memoryview(array.array("q", [1, 2, 3, 4]))
    for view in (raw.cast("B", (4, 8)), memoryview(b"ab").cast("c"),
                 memoryview(array.array("d", [1.0])), raw.cast("B").cast("?")):
        assert same_as_iteration(view)[0] != "ok" or view.format == "?"
    released = memoryview(b"12")
    released.release()
    assert outcome(loaded_nodes, released)[0] is ValueError
    text_code = "w" if sys.version_info >= (3, 13) else "u"  # "u" is deprecated from 3.13
    assert same_as_iteration(array.array(text_code, "ab"))[0] is TypeError


def test_buffer_subclasses_use_their_own_iteration():
    class Reversed(bytes):
        def __iter__(self):
            return reversed(list(bytes.__iter__(self)))

    g1, g2 = IntGraphCore(), IntGraphCore()
    g1.add_edges_flat(Reversed(b"\x01\x02\x03\x04"))
    g2.add_edges_flat([4, 3, 2, 1])
    assert g1.edges() == g2.edges()


def test_numpy_arrays():
    np = pytest.importorskip("numpy")
    base = [-(2**63), 2**63 - 1, 0, -1, 1, 200, -200, 70000]
    for dtype in ("int8", "uint8", "int16", "uint16", "int32", "uint32", "int64", "uint64",
                  ">i4", ">u8", "<i2", "intp", "uintp", "longlong", "ulonglong"):
        info = np.iinfo(dtype)
        values = [v for v in base if info.min <= v <= info.max]
        arr = np.array(values, dtype=dtype)
        result = same_as_iteration(arr)
        assert result[0] == "ok" and sorted(result[1]) == sorted(set(values)), dtype
        assert same_as_iteration(arr[::-2]) == outcome(loaded_nodes, values[::-2])
    for dtype in ("uint64", ">u8", "ulonglong"):
        arr = np.array([3, 2**63, 2**64 - 1], dtype=dtype)
        result = same_as_iteration(arr)
        assert result == outcome(loaded_nodes, [3, 2**63])
        assert result[0] is OverflowError
    # Not plain 1-D integer arrays: the element-by-element path decides.
    for arr in (np.array([1.5, 2.0]), np.array([True, False]), np.array([[1, 2], [3, 4]]),
                np.array([1, 2], dtype=object)):
        same_as_iteration(arr)
    assert outcome(loaded_nodes, np.array(5))[0] is TypeError  # 0-d: no iteration
    assert loaded_nodes(np.arange(6).reshape(2, 3)[:, 1]) == loaded_nodes([1, 4])
    # Subclasses iterate in their own way.
    matrix_like = np.arange(4).view(type("Sub", (np.ndarray,), {"__iter__": lambda s: iter([9])}))
    assert loaded_nodes(matrix_like) == [9]


def test_numpy_flat_and_list_load_alike():
    np = pytest.importorskip("numpy")
    rng = np.random.default_rng(7)
    ids = rng.integers(-1000, 1000, size=20001)
    g1, g2 = IntGraphCore(), IntGraphCore()
    g1.add_edges_flat(ids)
    g2.add_edges_flat(ids.tolist())
    assert g1.edges() == g2.edges() and g1.nodes() == g2.nodes()
    g3 = IntGraphCore()
    g3.add_nodes_from(ids.astype(np.int16))
    g4 = IntGraphCore()
    g4.add_nodes_from(ids.tolist())
    assert g3.nodes() == g4.nodes()
