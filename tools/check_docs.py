"""Checks that the documentation covers the public API and that its examples run.

    python tools/check_docs.py [SITE_DIR]

For every name in ``arborvane.__all__`` and every public method of
``IntGraphCore``, the docstring (from the code, or from the type stubs for
the native modules, as the API reference reads it) must have a Parameters
section (when the callable takes any), a Returns section (unless it returns
None) and an Examples section, and the built site (``site/`` by default,
from ``mkdocs build``) must hold its reference entry. Every example in those
docstrings, and every ``>>>`` example on the pages listed in RUN_PAGES, is
run as a doctest. arborvane must be importable (installed, or on PYTHONPATH).
Exits 1 with one line per problem.
"""

from __future__ import annotations

import doctest
import importlib.util
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RUN_PAGES = ["docs/tour.md", "docs/pandas.md"]  # pages whose >>> examples must run
OPTIONAL_MODULES = ("scipy", "networkx", "pandas")  # examples importing a missing one are skipped
FLAGS = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE
CODE_BLOCK = re.compile(r"^```(?:python|pycon)\n(.*?)^```", re.S | re.M)


def public_callables() -> dict[str, str]:
    """{name shown in messages: the path griffe knows its docstring by}."""
    import arborvane

    paths = {}
    for name in arborvane.__all__:
        value = getattr(arborvane, name)
        module = getattr(value, "__module__", None) or "arborvane"
        paths[f"arborvane.{name}"] = f"{module}.{getattr(value, '__qualname__', name)}"
    graph = arborvane.IntGraphCore
    for name in sorted(vars(graph)):
        if not name.startswith("_") and callable(getattr(graph, name)):
            paths[f"arborvane.IntGraphCore.{name}"] = f"{graph.__module__}.IntGraphCore.{name}"
    return paths


def missing_modules(text: str) -> list[str]:
    wanted = set(re.findall(r"^\s*(?:>>> |\.\.\. )?(?:import|from) (\w+)", text, re.M))
    wanted |= set(re.findall(r">>> import [\w, ]*\b(\w+)", text))
    return [m for m in OPTIONAL_MODULES if m in wanted and importlib.util.find_spec(m) is None]


def run_examples(text: str, name: str, problems: list[str]) -> None:
    if missing_modules(text):
        print(f"check_docs: skipped the examples of {name} (needs {', '.join(missing_modules(text))})")
        return
    test = doctest.DocTestParser().get_doctest(text, {}, name, name, 0)
    runner = doctest.DocTestRunner(optionflags=FLAGS)
    lines: list[str] = []
    runner.run(test, out=lines.append)
    if runner.failures:
        problems.append(f"{name}: an example fails:\n" + "".join(lines))


def check_docstrings(site: str, problems: list[str]) -> int:
    import griffe

    loader = griffe.GriffeLoader(search_paths=[os.path.join(ROOT, "python")])
    package = loader.load("arborvane")
    loader.resolve_aliases(implicit=True, external=False)
    anchors = set()
    for folder, _, files in os.walk(site):
        for file in files:
            if file.endswith(".html"):
                with open(os.path.join(folder, file), encoding="utf-8") as html:
                    anchors |= set(re.findall(r'id="(arborvane\.[\w.]+)"', html.read()))
    paths = public_callables()
    for shown, path in paths.items():
        try:
            obj = package.modules_collection[path]
        except KeyError:
            problems.append(f"{shown}: no documentation found (looked for {path})")
            continue
        if shown not in anchors and path not in anchors:
            problems.append(f"{shown}: not in the API reference ({site})")
        if obj.docstring is None:
            problems.append(f"{shown}: no docstring in the code or the stubs")
            continue
        kinds = {section.kind.value for section in obj.docstring.parse("google")}
        wanted = {"examples"}
        parameters = [p for p in getattr(obj, "parameters", []) if p.name not in ("self", "cls")]
        if parameters:
            wanted.add("parameters")
        returns = getattr(obj, "returns", None)
        if getattr(obj, "is_function", False) and str(returns) != "None":
            wanted.add("returns")
        for kind in sorted(wanted - kinds):
            problems.append(f"{shown}: the docstring has no {kind.capitalize()} section")
        run_examples(obj.docstring.value, shown, problems)
    return len(paths)


def main(argv: list[str]) -> int:
    site = argv[1] if len(argv) > 1 else os.path.join(ROOT, "site")
    if not os.path.isdir(site):
        print(f"check_docs: no built site at {site}: run mkdocs build first", file=sys.stderr)
        return 1
    problems: list[str] = []
    count = check_docstrings(site, problems)
    for page in RUN_PAGES:
        with open(os.path.join(ROOT, page), encoding="utf-8") as handle:
            blocks = CODE_BLOCK.findall(handle.read())
        run_examples("\n".join(block for block in blocks if ">>>" in block), page, problems)
    for problem in problems:
        print(f"check_docs: {problem}", file=sys.stderr)
    if problems:
        return 1
    print(f"check_docs: {count} public callables documented, in the reference, their examples and "
          f"those of {len(RUN_PAGES)} pages run")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
