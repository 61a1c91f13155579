"""The package as a user meets it: its public names, what importing it
costs, its version, and a user's script that type-checks and runs."""
import importlib
import os
import subprocess
import sys

import pytest

import arborvane
from conftest import run_python

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
USER_SCRIPT = os.path.join(ROOT, "tests", "typing", "public_api.py")


def test_public_names_agree_with_the_submodules():
    # Every name a lazily imported submodule exports is public, and every
    # public name resolves (to the submodule's own object).
    lazy = set()
    for name in arborvane._LAZY_MODULES:
        module = importlib.import_module(name)
        lazy |= set(module.__all__)
        for public in module.__all__:
            assert getattr(arborvane, public) is getattr(module, public)
    assert lazy <= set(arborvane.__all__)
    assert len(set(arborvane.__all__)) == len(arborvane.__all__)
    assert all(callable(getattr(arborvane, name)) for name in arborvane.__all__)
    assert dir(arborvane) == sorted([*arborvane.__all__, *arborvane._SUBMODULES, "__version__"])
    with pytest.raises(AttributeError, match="no attribute 'nope'"):
        arborvane.nope  # noqa: B018


def test_import_is_light_and_star_import_gets_every_name():
    out = run_python("""
        import sys
        import arborvane
        print("numpy" in sys.modules, "importlib.metadata" in sys.modules)
        namespace = {}
        exec("from arborvane import *", namespace)
        print(sorted(k for k in namespace if k != "__builtins__") == sorted(arborvane.__all__))
    """)
    assert out.split() == ["False", "False", "True"]


def test_version():
    from importlib import metadata

    version = arborvane.__version__
    try:
        installed = metadata.distribution("arborvane")
    except metadata.PackageNotFoundError:
        installed = None
    if installed is not None and os.path.samefile(installed.locate_file("arborvane"),
                                                  os.path.dirname(arborvane.__file__)):
        assert version == installed.version
    else:  # a developer build, from the source tree's pyproject.toml
        assert version.endswith("+dev") and version[0].isdigit()
    done = subprocess.run([sys.executable, "-m", "arborvane", "--version"], capture_output=True, text=True)
    assert (done.returncode, done.stdout) == (0, f"arborvane {version}\n")


def test_user_script_runs_and_names_every_public_name():
    with open(USER_SCRIPT) as f:
        text = f.read()
    missing = [name for name in arborvane.__all__ if name not in text]
    assert not missing, f"tests/typing/public_api.py does not use {missing}"
    pytest.importorskip("numpy")
    out = run_python(text)  # as a script: __name__ is "__main__"
    assert out.startswith(arborvane.__version__ + " 5 ")
