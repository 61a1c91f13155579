"""Argument binding, check order, value conversion and the borrow rule."""

import numpy as np
import pytest

from arborvane._accel import IntGraphCore

from conftest import snapshot


def message(excinfo):
    return str(excinfo.value)


def type_error(call):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError
    return message(info)


class Index:
    """An object that is an integer only through __index__."""

    def __init__(self, value, log=None):
        self.value, self.log = value, log

    def __index__(self):
        if self.log is not None:
            self.log.append(self.value)
        return self.value


class Float:
    def __init__(self, value, log):
        self.value, self.log = value, log

    def __float__(self):
        self.log.append(self.value)
        return self.value


class Hook:
    """Runs `action` when converted as an integer, then answers `value`."""

    def __init__(self, action, value=0):
        self.action, self.value = action, value

    def __index__(self):
        self.action()
        return self.value

    __float__ = __index__


class TestBindingMessages:
    @pytest.mark.parametrize("call, expected", [
        (lambda g: g.add_node(1, 2), "IntGraphCore.add_node() takes 1 positional arguments but 2 were given"),
        (lambda g: g.add_edge(1, 2, 3), "IntGraphCore.add_edge() takes 2 positional arguments but 3 were given"),
        (lambda g: g.has_edges([], []), "IntGraphCore.has_edges() takes 1 positional arguments but 2 were given"),
        (lambda g: g.build_random(1, 2, 3, 4),
         "IntGraphCore.build_random() takes from 2 to 3 positional arguments but 4 were given"),
        (lambda g: g.pagerank(1, 2, 3, 4),
         "IntGraphCore.pagerank() takes from 0 to 3 positional arguments but 4 were given"),
        # too many positionals fails before any keyword is looked at
        (lambda g: g.add_node(1, 2, n=3, bogus=4),
         "IntGraphCore.add_node() takes 1 positional arguments but 2 were given"),
    ])
    def test_too_many_positional(self, g, call, expected):
        assert type_error(lambda: call(g)) == expected

    @pytest.mark.parametrize("call, expected", [
        (lambda g: g.add_node(n=1, x=2), "IntGraphCore.add_node() got an unexpected keyword argument 'x'"),
        (lambda g: g.add_node(N=1), "IntGraphCore.add_node() got an unexpected keyword argument 'N'"),
        (lambda g: g.degree(**{"n\u00e9": 1}), "IntGraphCore.degree() got an unexpected keyword argument 'n\u00e9'"),
        (lambda g: g.has_node(**{"\udcff": 1}), "IntGraphCore.has_node() got an unexpected keyword argument '\udcff'"),
        (lambda g: g.pagerank(self=1), "IntGraphCore.pagerank() got an unexpected keyword argument 'self'"),
        (lambda g: g.add_node(1, n=2), "IntGraphCore.add_node() got multiple values for argument 'n'"),
        (lambda g: g.shortest_path_length(1, 2, target=3),
         "IntGraphCore.shortest_path_length() got multiple values for argument 'target'"),
        # keywords are checked in the order the caller wrote them
        (lambda g: g.add_edge(1, u=2, x=3), "IntGraphCore.add_edge() got multiple values for argument 'u'"),
        (lambda g: g.add_edge(1, x=3, u=2), "IntGraphCore.add_edge() got an unexpected keyword argument 'x'"),
        # a bad keyword is reported before missing arguments
        (lambda g: g.add_edge(x=1), "IntGraphCore.add_edge() got an unexpected keyword argument 'x'"),
    ])
    def test_keywords(self, g, call, expected):
        assert type_error(lambda: call(g)) == expected

    @pytest.mark.parametrize("call, expected", [
        (lambda g: g.add_node(), "IntGraphCore.add_node() missing 1 required positional argument: 'n'"),
        (lambda g: g.add_edge(), "IntGraphCore.add_edge() missing 2 required positional arguments: 'u' and 'v'"),
        (lambda g: g.add_edge(1), "IntGraphCore.add_edge() missing 1 required positional argument: 'v'"),
        (lambda g: g.add_edge(v=1), "IntGraphCore.add_edge() missing 1 required positional argument: 'u'"),
        (lambda g: g.build_random(),
         "IntGraphCore.build_random() missing 2 required positional arguments: 'n' and 'm'"),
        (lambda g: g.build_random(seed=1),
         "IntGraphCore.build_random() missing 2 required positional arguments: 'n' and 'm'"),
        (lambda g: g.build_random(m=1), "IntGraphCore.build_random() missing 1 required positional argument: 'n'"),
        (lambda g: g.shortest_path_length(target=1),
         "IntGraphCore.shortest_path_length() missing 1 required positional argument: 'source'"),
        (lambda g: g.subgraph_edge_count(),
         "IntGraphCore.subgraph_edge_count() missing 1 required positional argument: 'nodes'"),
    ])
    def test_missing(self, g, call, expected):
        assert type_error(lambda: call(g)) == expected

    def test_binding_comes_before_conversion(self, g):
        # a value that cannot convert is never looked at when binding fails
        assert "missing 1 required" in type_error(lambda: g.add_edge("x"))
        assert "unexpected keyword" in type_error(lambda: g.add_edge("x", "y", w=1))

    def test_keywords_bind_like_positions(self):
        a, b = IntGraphCore(), IntGraphCore()
        a.add_edge(v=2, u=1)
        a.add_edge(7, v=-3)
        b.add_edge(1, 2)
        b.add_edge(7, -3)
        assert snapshot(a) == snapshot(b)


class TestNodeIdConversion:
    def test_accepted_values(self, g):
        g.add_node(True)
        g.add_node(False)
        g.add_node(-1)
        g.add_node(Index(12))
        g.add_node(np.int64(-7))
        g.add_node(np.uint8(200))
        g.add_node(-2**63)
        g.add_node(2**63 - 1)
        assert sorted(g.nodes()) == [-2**63, -7, -1, 0, 1, 12, 200, 2**63 - 1]
        assert all(type(n) is int for n in g.nodes())

    def test_int_subclass_is_read_directly(self, g):
        class Odd(int):
            def __index__(self):
                raise AssertionError("not called for int subclasses")

        g.add_node(Odd(5))
        assert g.nodes() == [5]

    @pytest.mark.parametrize("bad, detail", [
        (1.0, "'float' object cannot be interpreted as an integer"),
        ("1", "'str' object cannot be interpreted as an integer"),
        (None, "'NoneType' object cannot be interpreted as an integer"),
        (b"1", "'bytes' object cannot be interpreted as an integer"),
        (np.float64(1), "'numpy.float64' object cannot be interpreted as an integer"),
    ])
    def test_refused_values_name_the_parameter(self, g, bad, detail):
        assert type_error(lambda: g.add_node(bad)) == f"argument 'n': {detail}"
        assert type_error(lambda: g.has_edge(1, bad)) == f"argument 'v': {detail}"
        assert type_error(lambda: g.shortest_path_length(bad, 1)) == f"argument 'source': {detail}"
        assert len(g) == 0

    @pytest.mark.parametrize("big", [2**63, -2**63 - 1, 2**64, 10**30, Index(2**63)])
    def test_out_of_range_overflows_without_parameter_name(self, g, big):
        with pytest.raises(OverflowError) as info:
            g.add_node(big)
        assert message(info) == "Python int too large to convert to C long"
        assert len(g) == 0

    def test_conversion_order_is_parameter_order(self, g):
        assert type_error(lambda: g.add_edge("a", "b")).startswith("argument 'u': ")
        assert type_error(lambda: g.add_edge(v="b", u="a")).startswith("argument 'u': ")
        with pytest.raises(OverflowError):
            g.add_edge(2**63, "b")


class TestArgumentError:
    def test_exact_type_error_is_rewritten_with_cause(self, g):
        root = ValueError("root")

        class Bad:
            def __index__(self):
                raise TypeError("boom") from root

        with pytest.raises(TypeError) as info:
            g.add_node(Bad())
        assert type(info.value) is TypeError
        assert message(info) == "argument 'n': boom"
        assert info.value.__cause__ is root
        assert info.value.__context__ is None

    def test_rewrite_without_cause_attaches_nothing(self, g):
        class Bad:
            def __index__(self):
                raise TypeError("plain")

        with pytest.raises(TypeError) as info:
            g.degree(Bad())
        assert message(info) == "argument 'n': plain"
        assert info.value.__cause__ is None and info.value.__context__ is None

    def test_non_int_index_result(self, g):
        assert type_error(lambda: g.add_node(Index("3"))) == (
            "argument 'n': __index__ returned non-int (type str)")

    @pytest.mark.parametrize("make", [
        lambda: type("MyTypeError", (TypeError,), {})("sub"),
        lambda: ValueError("value"),
        lambda: KeyError("key"),
        lambda: RuntimeError("runtime"),
    ])
    def test_other_errors_pass_unchanged(self, g, make):
        raised = make()

        class Bad:
            def __index__(self):
                raise raised

        with pytest.raises(BaseException) as info:
            g.add_node(Bad())
        assert info.value is raised
        assert "argument" not in message(info)

    def test_multi_argument_message_uses_the_failing_name(self, g):
        assert type_error(lambda: g.has_edge(1, None)).startswith("argument 'v': ")
        assert type_error(lambda: g.shortest_path_length(1, target=[])).startswith("argument 'target': ")


class TestUnsignedConversion:
    # build_random converts n, m, seed in that order; a bad seed stops the
    # call before anything is generated, so earlier arguments can be probed.
    def test_accepted_values(self, g):
        log = []
        for m in (0, True, 2**64 - 1, Index(3, log), np.uint64(2**64 - 1), np.int32(4)):
            assert type_error(lambda: g.build_random(5, m, None)).startswith("argument 'seed': ")
        assert log == [3]
        assert len(g) == 0

    def test_int_subclass_is_read_directly(self, g):
        class Odd(int):
            def __index__(self):
                raise AssertionError("not called for int subclasses")

        assert type_error(lambda: g.build_random(5, Odd(2), None)).startswith("argument 'seed': ")

    @pytest.mark.parametrize("bad, text", [
        (-1, "can't convert negative int to unsigned"),
        (Index(-1), "can't convert negative int to unsigned"),
        (2**64, "int too big to convert"),
    ])
    def test_out_of_range(self, g, bad, text):
        with pytest.raises(OverflowError) as info:
            g.build_random(5, bad, None)
        assert message(info) == text
        with pytest.raises(OverflowError) as info:
            g.pagerank(max_iter=bad)
        assert message(info) == text

    @pytest.mark.parametrize("bad", [1.5, "3", None, np.float32(2)])
    def test_refused_types(self, g, bad):
        text = type_error(lambda: g.build_random(5, bad))
        assert text.startswith("argument 'm': ") and "cannot be interpreted as an integer" in text
        assert type_error(lambda: g.build_random(5, 3, seed=bad)).startswith("argument 'seed': ")
        assert type_error(lambda: g.pagerank(max_iter=bad)).startswith("argument 'max_iter': ")

    def test_order_n_m_seed(self, g):
        assert type_error(lambda: g.build_random("x", -1, None)).startswith("argument 'n': ")
        with pytest.raises(OverflowError):
            g.build_random(5, -1, None)
        with pytest.raises(OverflowError):
            g.build_random(2**63, "m")
        assert len(g) == 0


class TestFloatConversion:
    # pagerank converts damping, max_iter, tol in that order; a negative
    # max_iter stops the call after damping was converted.
    def test_accepted_values(self, g):
        log = []
        for damping in (0.5, 1, True, Float(0.25, log), Index(1, log), np.float32(0.5), np.int64(1)):
            with pytest.raises(OverflowError):
                g.pagerank(damping=damping, max_iter=-1)
        assert log == [0.25, 1]

    def test_float_subclass_value_is_used(self, g):
        class F(float):
            def __float__(self):
                raise AssertionError("the stored value is read")

        with pytest.raises(OverflowError):
            g.pagerank(F(0.5), -1)

    @pytest.mark.parametrize("bad, detail", [
        (None, "must be real number, not NoneType"),
        ("0.5", "must be real number, not str"),
        ([], "must be real number, not list"),
    ])
    def test_refused(self, g, bad, detail):
        assert type_error(lambda: g.pagerank(damping=bad)) == f"argument 'damping': {detail}"
        assert type_error(lambda: g.pagerank(tol=bad)) == f"argument 'tol': {detail}"
        # damping is converted before max_iter, max_iter before tol
        assert type_error(lambda: g.pagerank(bad, -1)).startswith("argument 'damping': ")
        with pytest.raises(OverflowError):
            g.pagerank(0.5, -1, bad)

    def test_huge_int_overflows_without_name(self, g):
        with pytest.raises(OverflowError) as info:
            g.pagerank(damping=10**400)
        assert message(info) == "int too large to convert to float"


class TestBorrowReentry:
    def reenter(self, g, nested):
        """Object that, when converted, calls nested() and records what it got."""
        seen = []

        def action():
            try:
                seen.append(("ok", nested()))
            except BaseException as exc:  # noqa: BLE001
                seen.append((type(exc), str(exc)))
                raise
        return Hook(action, 9), seen

    def prepared(self):
        g = IntGraphCore()
        g.add_edge(1, 2)
        return g, snapshot(g)

    @pytest.mark.parametrize("nested, error", [
        (lambda g: len(g), "Already mutably borrowed"),
        (lambda g: g.has_node(1), "Already mutably borrowed"),
        (lambda g: g.nodes(), "Already mutably borrowed"),
        (lambda g: repr(g), "Already mutably borrowed"),
        (lambda g: 1 in g, "Already mutably borrowed"),
        (lambda g: g.add_node(3), "Already borrowed"),
        (lambda g: g.add_edges_from([(3, 4)]), "Already borrowed"),
        # the borrow is refused before the nested argument is looked at
        (lambda g: g.add_node("not an id"), "Already borrowed"),
        (lambda g: g.degree(None), "Already mutably borrowed"),
    ])
    @pytest.mark.parametrize("outer", [
        lambda g, x: g.add_node(x),
        lambda g, x: g.add_edge(5, x),
        lambda g, x: g.build_random(x, 1, seed=None),
        lambda g, x: g.pagerank(damping=x, max_iter=-1),
    ])
    def test_during_exclusive_call(self, nested, error, outer):
        g, before = self.prepared()
        hook, seen = self.reenter(g, lambda: nested(g))
        with pytest.raises(RuntimeError) as info:
            outer(g, hook)
        assert message(info) == error
        assert seen == [(RuntimeError, error)]
        assert snapshot(g) == before
        g.add_node(6)  # both borrows were released
        assert len(g) == 3

    def test_nested_binding_error_comes_before_borrow(self):
        g, before = self.prepared()
        hook, seen = self.reenter(g, lambda: g.add_node())
        with pytest.raises(TypeError) as info:
            g.add_node(hook)
        assert seen == [(TypeError, "IntGraphCore.add_node() missing 1 required positional argument: 'n'")]
        assert message(info) == "argument 'n': IntGraphCore.add_node() missing 1 required positional argument: 'n'"
        assert snapshot(g) == before

    @pytest.mark.parametrize("outer", [
        lambda g, x: g.has_node(x),
        lambda g, x: g.has_edge(1, x),
        lambda g, x: g.degree(x),
        lambda g, x: g.neighbors(x),
        lambda g, x: x in g,
        lambda g, x: g.shortest_path_length(x, 1),
    ])
    def test_during_shared_call(self, outer):
        g, before = self.prepared()
        hook, seen = self.reenter(g, lambda: (len(g), g.has_edge(1, 2), g.neighbors(1), repr(g)))
        outer(g, hook)
        assert seen == [("ok", (2, True, [2], "IntGraphCore(nodes=2, edges=1)"))]
        for nested in (lambda: g.add_node(3), lambda: g.add_edge(1, 3), lambda: g.pagerank()):
            hook, seen = self.reenter(g, nested)
            with pytest.raises(RuntimeError) as info:
                outer(g, hook)
            assert message(info) == "Already borrowed"
            assert seen == [(RuntimeError, "Already borrowed")]
        assert snapshot(g) == before
        g.add_node(3)
        assert len(g) == 3
