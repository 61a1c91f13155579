"""The module loads only in the main interpreter: a subinterpreter that
imports arborvane gets an ImportError, and the main interpreter can import it
whether or not a subinterpreter tried first (and was destroyed since).

Each case runs in a fresh process, so that "first import" means first in the
process. Subinterpreters come from 3.14's concurrent.interpreters, or from
the low-level module that earlier versions have (_interpreters on 3.13,
_xxsubinterpreters on 3.11 and 3.12), with both the isolated configuration
(where 3.12+ itself refuses modules that declare no subinterpreter support)
and the legacy one (where the module's own check must refuse)."""

import importlib.util

import pytest

from conftest import run_python


def available(*modules):
    for name in modules:
        try:
            if importlib.util.find_spec(name):
                return True
        except ImportError:  # a parent package that does not exist
            pass
    return False


HIGH_LEVEL = """
    from concurrent import interpreters

    def run_in_subinterpreter(code):
        interp = interpreters.create()
        try:
            interp.exec(code)
        finally:
            interp.close()
"""

LOW_LEVEL = """
    try:
        import _interpreters as low

        def create():
            return low.create({config!r})
    except ImportError:
        import _xxsubinterpreters as low

        def create():
            return low.create(isolated={config!r} == "isolated")

    def run_in_subinterpreter(code):
        interp = create()
        try:
            failure = low.run_string(interp, code)  # raises on 3.11 and 3.12
        finally:
            low.destroy(interp)
        assert failure is None, failure
"""

LOW_LEVEL_MODULES = ("_interpreters", "_xxsubinterpreters")

RUNNERS = [
    pytest.param(HIGH_LEVEL, id="concurrent.interpreters",
                 marks=pytest.mark.skipif(not available("concurrent.interpreters"),
                                          reason="no concurrent.interpreters (3.14+)")),
    *(pytest.param(LOW_LEVEL.format(config=config), id=f"low-level-{config}",
                   marks=pytest.mark.skipif(not available(*LOW_LEVEL_MODULES),
                                            reason="no low-level subinterpreter module"))
      for config in ("isolated", "legacy")),
]

# Runs in the subinterpreter: reports on stdout (shared with the main
# interpreter) instead of raising, so the outcome reads the same on every
# version.
IMPORT_IN_SUBINTERPRETER = """
try:
    import arborvane
except ImportError as exc:
    print("refused:", exc, flush=True)
else:
    print("imported", flush=True)
"""

USE_IN_MAIN = """
    import arborvane
    g = arborvane.IntGraphCore()
    g.add_edges_from([(1, 2), (2, 3), (3, 1)])
    assert g.triangle_count() == 1 and len(g.pagerank()) == 3
    print("main: ok", flush=True)
"""


def assert_refused(line):
    assert line.startswith("refused: "), line
    assert "arborvane._accel" in line and "subinterpreter" in line, line


@pytest.mark.parametrize("runner", RUNNERS)
class TestSubinterpreters:
    def test_subinterpreter_first_then_main(self, runner):
        out = run_python(runner + f"""
    run_in_subinterpreter({IMPORT_IN_SUBINTERPRETER!r})
    run_in_subinterpreter({IMPORT_IN_SUBINTERPRETER!r})  # refused again, not half-loaded
""" + USE_IN_MAIN)
        first, second, main = out.splitlines()
        assert_refused(first)
        assert second == first and main == "main: ok"

    def test_main_first_then_subinterpreter(self, runner):
        out = run_python(runner + USE_IN_MAIN + f"""
    run_in_subinterpreter({IMPORT_IN_SUBINTERPRETER!r})
    import sys
    cls = arborvane.IntGraphCore
    del sys.modules["arborvane._accel"], sys.modules["arborvane"]
    import arborvane  # the main interpreter may import it again
    assert arborvane.IntGraphCore is cls
    print("main: again", flush=True)
""")
        before, sub, after = out.splitlines()
        assert (before, after) == ("main: ok", "main: again")
        assert_refused(sub)
