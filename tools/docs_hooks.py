"""MkDocs hooks for the documentation site (mkdocs.yml names this file).

The API reference is generated at build time, so it cannot drift from the
code: one page per public module of python/arborvane (every module whose
name does not start with an underscore, except the command line), one for
IntGraphCore (documented by the stub python/arborvane/_accel.pyi), and an
overview page for whatever the package defines itself or takes from private
modules. Pages under docs/ that the nav does not list are appended to its
"Guides" section, so a new page shows up without editing mkdocs.yml.
"""

from __future__ import annotations

import os
from typing import Any

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACKAGE = os.path.join(ROOT, "python", "arborvane")
NOT_REFERENCE = {"cli", "__main__"}  # the command line has its own page
REFERENCE = "reference"
GUIDES = "Guides"


def public_modules() -> list[str]:
    """Dotted names of the package's public modules and subpackages."""
    names = []
    for entry in sorted(os.listdir(PACKAGE)):
        path = os.path.join(PACKAGE, entry)
        stem = entry[:-3] if entry.endswith(".py") else entry
        if stem.startswith("_") or stem in NOT_REFERENCE:
            continue
        if entry.endswith(".py") or os.path.isfile(os.path.join(path, "__init__.py")):
            names.append(f"arborvane.{stem}")
    return names


def load_package() -> Any:
    """The package as griffe reads it: sources, and stubs for the native modules."""
    import griffe

    return griffe.load("arborvane", search_paths=[os.path.dirname(PACKAGE)], resolve_aliases=False)


def package_members(package: Any, modules: list[str]) -> list[str]:
    """Public names of the package that no module page shows: defined in
    __init__.py itself, or imported from a private module (IntGraphCore aside)."""
    names = []
    for name, member in package.members.items():
        if name.startswith("_") or name == "IntGraphCore":
            continue
        if member.is_alias:
            if member.target_path.rsplit(".", 1)[0] in modules:
                continue  # on that module's page
        elif not (member.is_function or member.is_class):
            continue
        names.append(name)
    return names


def summary(obj: Any) -> str:
    """The first paragraph of an object's docstring, on one line (a table cell)."""
    text = obj.docstring.value.strip().split("\n\n")[0] if obj.docstring else ""
    return " ".join(text.split()).replace("|", "\\|")


def summary_table(owner: Any, names: list[str]) -> str:
    rows = [f"| [`{name}`][{owner.path}.{name}] | {summary(owner[name])} |" for name in names]
    return "| Name | Summary |\n|---|---|\n" + "\n".join(rows) + "\n"


def public_names(module: Any) -> list[str]:
    """A module's __all__ as griffe reads it, else its public functions and classes."""
    if module.exports:
        return [name for name in module.exports if isinstance(name, str) and name in module.members]
    return [name for name, member in module.members.items()
            if not name.startswith("_") and not member.is_alias and (member.is_function or member.is_class)]


def reference_pages() -> dict[str, tuple[str, str]]:
    """{path under docs: (nav title, Markdown)} of the generated reference."""
    package = load_package()
    modules = public_modules()
    members = package_members(package, modules)
    graph = package["IntGraphCore"].final_target
    methods = [name for name in graph.members if not name.startswith("_")]
    overview = [
        "# API reference\n",
        "Generated from the docstrings of the package and the type stubs of its",
        "native modules. Every public function is importable from `arborvane`",
        "itself (`arborvane.node_array`, ...), whichever module documents it.\n",
        "## [IntGraphCore](intgraphcore.md)\n",
        summary(graph) + "\n",
        summary_table(graph, methods),
    ]
    for name in modules:
        module = package[name.split(".", 1)[1]]
        overview += [f"## [{name}]({name.split('.')[-1]}.md)\n", summary(module) + "\n",
                     summary_table(module, public_names(module))]
    if members:
        overview += ["## Defined in the package\n", "::: arborvane\n    options:\n"
                     "      show_root_heading: false\n      members:\n"
                     + "".join(f"        - {name}\n" for name in members)]
    pages = {
        f"{REFERENCE}/index.md": ("Overview", "\n".join(overview)),
        f"{REFERENCE}/intgraphcore.md": ("IntGraphCore", "# IntGraphCore\n\n::: arborvane.IntGraphCore\n"),
    }
    for module in modules:
        short = module.split(".")[-1]
        pages[f"{REFERENCE}/{short}.md"] = (module, f"# {module}\n\n::: {module}\n    options:\n      show_root_heading: false\n")
    return pages


def _listed(nav: Any) -> set[str]:
    found: set[str] = set()
    for item in nav or []:
        value = next(iter(item.values())) if isinstance(item, dict) else item
        if isinstance(value, list):
            found |= _listed(value)
        elif isinstance(value, str):
            found.add(value)
    return found


def on_config(config: Any) -> Any:
    pages = reference_pages()
    nav = config["nav"]
    nav.append({"API reference": [{title: path} for path, (title, _) in pages.items()]})
    listed = _listed(nav)
    extra = []
    for root, _, files in os.walk(config["docs_dir"]):
        for name in sorted(files):
            path = os.path.relpath(os.path.join(root, name), config["docs_dir"]).replace(os.sep, "/")
            if name.endswith(".md") and path not in listed:
                extra.append(path)
    if extra:
        guides = next((item for item in nav if isinstance(item, dict) and GUIDES in item), None)
        if guides is None:
            guides = {GUIDES: []}
            nav.insert(len(nav) - 1, guides)
        guides[GUIDES].extend(sorted(extra))
    return config


def on_files(files: Any, config: Any) -> Any:
    from mkdocs.structure.files import File

    for path, (_, text) in reference_pages().items():
        files.append(File.generated(config, path, content=text))
    return files
