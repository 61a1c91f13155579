"""The module and the IntGraphCore class as Python sees them."""

import copy
import inspect
import pickle
import weakref

import pytest

import arborvane._accel as accel
from arborvane._accel import IntGraphCore

from conftest import run_python

# (name, stored text signature, doc text or None), in method-table order.
METHODS = [
    ("add_node", "($self, n)", None),
    ("add_edge", "($self, u, v)", None),
    ("add_edges_from", "($self, edges)", None),
    ("add_edges_flat", "($self, flat)", None),
    ("add_nodes_from", "($self, nodes)", None),
    ("has_edge", "($self, u, v)", None),
    ("build_random", "($self, n, m, seed=42)",
     "Native bulk random graph generation (Er\u0151s-R\u00e9nyi G_{n,m} style)\n"
     "Bypasses Python list allocations for massive benchmarks."),
    ("has_node", "($self, n)", None),
    ("number_of_nodes", "($self)", None),
    ("number_of_edges", "($self)", None),
    ("neighbors", "($self, n)", None),
    ("degree", "($self, n)", None),
    ("nodes", "($self)", None),
    ("edges", "($self)", None),
    ("edges_flat", "($self)", None),
    ("degree_sequence", "($self)", None),
    ("has_edges", "($self, edges)", None),
    ("triangle_count", "($self)",
     "Triangle counting using CSR sorted merge-intersection.\n"
     "The sorted adjacency in CSR enables SIMD-friendly sequential scans."),
    ("connected_component_sizes", "($self)", "Connected components via parallel BFS."),
    ("shortest_path_length", "($self, source, target)", None),
    ("subgraph_edge_count", "($self, nodes)", None),
    ("pagerank", "($self, damping=0.85, max_iter=100, tol=1e-6)",
     "SIMD-friendly PageRank using contiguous f64 arrays + rayon parallel scatter."),
]

NO_ARG_METHODS = [name for name, sig, _ in METHODS if sig == "($self)"]


class TestModule:
    def test_module_surface(self):
        assert accel.__name__ == "arborvane._accel"
        assert accel.__doc__ == ""
        assert accel.__all__ == ["IntGraphCore"]
        public = [name for name in dir(accel) if not name.startswith("_")]
        assert public == ["IntGraphCore"]

    def test_reimport_gives_same_class(self):
        out = run_python("""
            import sys
            import arborvane._accel as first
            cls = first.IntGraphCore
            del sys.modules["arborvane._accel"]
            import arborvane._accel as second
            assert second is not first
            assert second.IntGraphCore is cls
            assert second.__all__ == ["IntGraphCore"]
            g = second.IntGraphCore()
            g.add_edge(1, 2)
            assert isinstance(g, cls) and repr(g) == "IntGraphCore(nodes=2, edges=1)"
            print("ok")
        """)
        assert out.strip() == "ok"


class TestClass:
    def test_names_and_docs(self):
        assert IntGraphCore.__name__ == "IntGraphCore"
        assert IntGraphCore.__qualname__ == "IntGraphCore"
        assert IntGraphCore.__module__ == "arborvane._accel"
        assert IntGraphCore.__bases__ == (object,)
        assert IntGraphCore.__doc__ == "Ultra-fast undirected integer-node graph."
        assert IntGraphCore.__text_signature__ == "()"
        assert str(inspect.signature(IntGraphCore)) == "()"
        assert repr(IntGraphCore) == "<class 'arborvane._accel.IntGraphCore'>"

    def test_method_table_order_and_docstrings(self):
        own = [k for k in IntGraphCore.__dict__ if not k.startswith("__")]
        assert own == [name for name, _, _ in METHODS]
        for name, text_signature, doc in METHODS:
            method = getattr(IntGraphCore, name)
            assert method.__text_signature__ == text_signature, name
            assert method.__doc__ == doc, name

    def test_inspect_signatures(self):
        sig = inspect.signature(IntGraphCore.add_edge)
        assert list(sig.parameters) == ["self", "u", "v"]
        sig = inspect.signature(IntGraphCore.pagerank)
        defaults = {p.name: p.default for p in sig.parameters.values() if p.name != "self"}
        assert defaults == {"damping": 0.85, "max_iter": 100, "tol": 1e-6}
        sig = inspect.signature(IntGraphCore.build_random)
        assert sig.parameters["seed"].default == 42
        # every parameter after self may be given by position or keyword
        for name, _, _ in METHODS:
            params = list(inspect.signature(getattr(IntGraphCore(), name)).parameters.values())
            assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in params), name

    def test_special_methods_are_exactly_the_four(self):
        dunders = {k for k in IntGraphCore.__dict__ if k.startswith("__")}
        assert dunders == {"__new__", "__repr__", "__len__", "__contains__", "__doc__", "__module__"}
        for absent in ("__init__", "__iter__", "__getitem__", "__eq__", "__hash__", "__bool__",
                       "__str__", "__dict__", "__weakref__", "__reduce__", "__copy__"):
            assert absent not in IntGraphCore.__dict__, absent

    def test_not_subclassable(self):
        with pytest.raises(TypeError):
            class Derived(IntGraphCore):  # noqa: F841
                pass

    def test_no_dict_no_weakref_no_copy(self, g):
        with pytest.raises(AttributeError):
            g.extra = 1
        with pytest.raises(AttributeError):
            g.__dict__
        with pytest.raises(TypeError):
            weakref.ref(g)
        with pytest.raises(TypeError):
            pickle.dumps(g)
        with pytest.raises(TypeError):
            copy.copy(g)

    def test_identity_hash_and_equality(self):
        a, b = IntGraphCore(), IntGraphCore()
        assert a == a and a != b
        assert hash(a) == hash(a)
        assert len({a, b}) == 2


class TestSpecialMethods:
    def test_len_bool_repr_str(self, g):
        assert len(g) == 0 and not g
        assert repr(g) == "IntGraphCore(nodes=0, edges=0)"
        g.add_node(5)
        assert len(g) == 1 and bool(g)
        g.add_edge(1, 2)
        assert repr(g) == str(g) == "IntGraphCore(nodes=3, edges=1)"
        g.add_edge(2, 1)
        assert repr(g) == "IntGraphCore(nodes=3, edges=1)"
        assert len(g) == g.number_of_nodes() == 3

    def test_contains(self, g):
        g.add_edge(-4, 2**63 - 1)
        for n in (-4, 2**63 - 1, 0, 3, -2**63):
            assert (n in g) is g.has_node(n)
        assert True not in g and 1 not in g
        for bad in ("5", 5.0, None, b"5"):
            with pytest.raises(TypeError, match=r"^argument 'n': "):
                bad in g  # noqa: B015
        with pytest.raises(OverflowError) as info:
            2**63 in g  # noqa: B015
        assert "argument" not in str(info.value)

    def test_not_iterable(self, g):
        g.add_node(1)
        with pytest.raises(TypeError):
            iter(g)
        with pytest.raises(TypeError):
            g[0]

    @pytest.mark.parametrize("name", NO_ARG_METHODS)
    def test_no_argument_methods_refuse_arguments(self, g, name):
        with pytest.raises(TypeError, match=r"takes no arguments \(1 given\)"):
            getattr(g, name)(1)
        with pytest.raises(TypeError, match="takes no keyword arguments"):
            getattr(g, name)(x=1)

    def test_constructor(self):
        with pytest.raises(TypeError) as info:
            IntGraphCore(0)
        assert str(info.value) == "IntGraphCore.__new__() takes 0 positional arguments but 1 was given"
        with pytest.raises(TypeError) as info:
            IntGraphCore(1, 2)
        assert str(info.value) == "IntGraphCore.__new__() takes 0 positional arguments but 2 were given"
        with pytest.raises(TypeError) as info:
            IntGraphCore(x=1)
        assert str(info.value) == "IntGraphCore.__new__() got an unexpected keyword argument 'x'"
        with pytest.raises(TypeError) as info:
            IntGraphCore(**{"n": 1, "m": 2})
        assert str(info.value) == "IntGraphCore.__new__() got an unexpected keyword argument 'n'"
        g = IntGraphCore.__new__(IntGraphCore)
        assert repr(g) == "IntGraphCore(nodes=0, edges=0)"


def panic_exception_type():
    """The PanicException class, obtained by provoking an internal fault."""

    class Huge:
        def __len__(self):
            return 2**62

        def __getitem__(self, i):
            raise IndexError

    try:
        IntGraphCore().add_nodes_from(Huge())
    except BaseException as exc:  # noqa: BLE001
        return type(exc)
    raise AssertionError("no internal error raised")


class TestPanicException:
    def test_class(self):
        panic = panic_exception_type()
        assert panic.__name__ == "PanicException"
        assert panic.__bases__ == (BaseException,)
        assert not issubclass(panic, Exception)
        assert "BaseException" in panic.__doc__
        assert panic_exception_type() is panic

    def test_panic_from_python_code_is_resumed(self, g, capfd):
        panic = panic_exception_type()
        capfd.readouterr()

        class Boom:
            def __index__(self):
                raise panic("boom from index")

        with pytest.raises(panic) as info:
            g.add_node(Boom())
        assert str(info.value) == "boom from index"
        assert info.value.args == ("boom from index",)
        err = capfd.readouterr().err
        assert "Traceback" in err and "boom from index" in err
        assert len(g) == 0
        g.add_node(1)  # the borrow was released
        assert len(g) == 1


def stub_callables(module):
    """{qualified name: (parameters as (name, default) without self, docstring)}
    of the functions in the stub of `module` (methods of its classes
    included, special methods left out)."""
    import ast
    import pathlib

    tree = ast.parse(pathlib.Path(module.__file__).with_name(module.__name__.rpartition(".")[2] + ".pyi").read_text())
    found = {}

    def visit(body, prefix):
        for node in body:
            if isinstance(node, ast.ClassDef):
                visit(node.body, node.name + ".")
            elif isinstance(node, ast.FunctionDef) and not node.name.startswith("__"):
                args = node.args.args[1:] if prefix else node.args.args
                defaults = [None] * (len(args) - len(node.args.defaults)) + node.args.defaults
                params = [(a.arg, d and ast.literal_eval(d)) for a, d in zip(args, defaults)]
                found[prefix + node.name] = (params, ast.get_docstring(node))
    visit(tree.body, "")
    return found


def test_stubs_describe_every_native_callable():
    # The stubs are written by hand; every name, parameter and default must
    # be what the native description gives, and every docstring begin with
    # the native one.
    from arborvane._native import arrays

    native = {f"IntGraphCore.{name}": method for name, method in vars(IntGraphCore).items()
              if not name.startswith("__")}
    native.update({name: f for name, f in vars(arrays).items() if type(f) is type(len)})
    for module in (accel, arrays):
        stubs = stub_callables(module)
        assert {k for k in native if ("." in k) == (module is accel)} == set(stubs), module.__name__
        for name, (params, doc) in stubs.items():
            signature = inspect.signature(native[name]).parameters.values()
            described = [(p.name, None if p.default is p.empty else p.default) for p in signature if p.name != "self"]
            assert described == params, name
            # A stub may document more than the native docstring (the API
            # reference is generated from the stubs), never something else.
            assert native[name].__doc__ is None or (doc or "").startswith(native[name].__doc__), name
