"""Helpers shared by the test modules."""

import os
import subprocess
import sys
import textwrap

import pytest

from arborvane._accel import IntGraphCore


def run_python(code, env_extra=None):
    """Runs `code` in a fresh interpreter with this one's import path and
    returns its stdout; fails the test on a non-zero exit."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    env.update(env_extra or {})
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout


def snapshot(g):
    """Everything the store shows about a graph, for before/after comparisons."""
    return (repr(g), g.nodes(), sorted(g.edges()), {n: g.neighbors(n) for n in g.nodes()})


@pytest.fixture
def g():
    return IntGraphCore()
