"""Loads arborvane._arrays, the second native module, from _accel's file.

Both modules live in one shared library (PEP 489 allows several modules per
library, each with its own PyInit function), so there is one copy of the
native core, one IntGraphCore class and one worker pool per process. The
import system looks for a module's library under the module's own name, so
_arrays is loaded explicitly with an ExtensionFileLoader pointed at _accel's
file, and registered in sys.modules so that ``import arborvane._arrays``
finds it afterwards.
"""

from __future__ import annotations

import importlib.machinery
import importlib.util
import sys
from types import ModuleType

from arborvane import _accel

__all__ = ["arrays"]

_NAME = "arborvane._arrays"


def _load() -> ModuleType:
    loaded = sys.modules.get(_NAME)
    if loaded is not None:
        return loaded
    path = _accel.__file__
    assert path is not None
    loader = importlib.machinery.ExtensionFileLoader(_NAME, path)
    spec = importlib.util.spec_from_file_location(_NAME, path, loader=loader)
    assert spec is not None
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    sys.modules[_NAME] = module
    return module


arrays = _load()
