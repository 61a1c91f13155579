"""arborvane: fast undirected integer-node graphs with a native core."""

from arborvane._accel import IntGraphCore

__all__ = ["IntGraphCore"]
