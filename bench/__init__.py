"""Side-by-side benchmark of arborvane against NetworkX, igraph, rustworkx and NetworKit.

Run ``python -m bench --help``. Every library works on the same seeded edge list,
each in a subprocess of its own per graph size so that its memory is measured alone.
"""
