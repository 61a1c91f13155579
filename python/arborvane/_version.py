"""arborvane.__version__: the version of the installed distribution, or of
the source tree for a developer build (tools/devbuild.sh), which pip never
installed."""

from __future__ import annotations

import os


def version() -> str:
    from importlib import metadata

    package = os.path.dirname(os.path.abspath(__file__))
    try:
        dist = metadata.distribution("arborvane")
    except metadata.PackageNotFoundError:
        pass
    else:
        # Only the distribution this very package came from: an installed
        # copy elsewhere on the path says nothing about a developer build.
        located = str(dist.locate_file("arborvane"))
        if os.path.isdir(located) and os.path.samefile(located, package):
            return dist.version
    # A developer build links the package's files to the source tree, where
    # pyproject.toml holds the version.
    source_root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.realpath(__file__))))
    try:
        import tomllib

        with open(os.path.join(source_root, "pyproject.toml"), "rb") as f:
            return str(tomllib.load(f)["project"]["version"]) + "+dev"
    except (OSError, KeyError, ValueError):
        return "0+unknown"
