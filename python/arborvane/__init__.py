"""arborvane: fast undirected integer-node graphs with a native core."""

from arborvane._accel import IntGraphCore
from arborvane.interop import from_networkx, to_networkx

__all__ = ["IntGraphCore", "from_networkx", "to_networkx"]
