"""Argument shapes and graph builders shared by the test modules."""

import random
import signal

from arborvane import IntGraphCore

INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1
MASK = (1 << 64) - 1
# Node ids hash as rotate_left(id * 0xf1357aea2e62a9c5 mod 2**64, 26); the
# hash is invertible, so an id with any chosen hash can be computed.
C_INVERSE = pow(0xF1357AEA2E62A9C5, -1, 1 << 64)


def signed(x):
    x &= MASK
    return x - (1 << 64) if x >= 1 << 63 else x


def rotate_right_26(h):
    return (h >> 26 | h << 38) & MASK


def crafted(count, start=1):
    """Ids k * C^-1: their hashes are k rotated by 26 bits, so every one of
    them has home slot 0 in any table of up to 2**26 slots."""
    return [signed(k * C_INVERSE) for k in range(start, start + count)]


def colliding(count, low_bits, shift=26, start=1):
    """Ids whose hashes are k * 2**shift + low_bits: they share one home slot
    in every table of up to 2**shift slots (the last slot for low_bits =
    2**shift - 1, so their probe runs wrap around) and spread out in larger
    ones."""
    return [signed(rotate_right_26((k << shift | low_bits) & MASK) * C_INVERSE) for k in range(start, start + count)]


def hostile_graph(grown):
    """A graph whose ids hit every corner of the id map: 200 ids of one home
    slot (72 of them in the overflow entries), the map's vacant key
    (INT64_MIN) and INT64_MAX, self-loops (one on an overflow entry),
    isolated nodes and several components. With `grown`, the map then grows
    through several sizes past 8,000 nodes, and more colliding groups arrive
    on the way: one at the last slot, whose runs wrap around, and one that
    shares a slot at 2,048 slots but spreads out as the map grows."""
    rng = random.Random(2024)
    slot0 = crafted(200)
    g = IntGraphCore()
    g.add_nodes_from(slot0 + [INT64_MIN, 5, INT64_MAX])
    edges = [(slot0[i], slot0[i + 1]) for i in range(0, 180)]  # one long path through the overflow
    edges += [(rng.choice(slot0), rng.choice(slot0)) for _ in range(150)]
    edges += [(INT64_MIN, slot0[150]), (INT64_MAX, slot0[199]), (INT64_MIN, INT64_MIN), (slot0[190], slot0[190]),
              (0, 0), (0, 1), (1, 2), (2, 0), (INT64_MAX, 3), (slot0[185], slot0[186])]
    g.add_edges_from(edges)
    if grown:
        wrapping = colliding(200, (1 << 26) - 1)
        spreading = colliding(300, 0, shift=11, start=1 << 14)
        others = [rng.randrange(INT64_MIN, INT64_MAX) for _ in range(7000)]
        g.add_nodes_from(others[:3000])
        g.add_edges_from([(rng.choice(others), rng.choice(others)) for _ in range(4000)])
        g.add_nodes_from(wrapping[:100] + spreading)
        everyone = g.nodes()
        g.add_edges_from([(rng.choice(everyone), rng.choice(wrapping + spreading + slot0)) for _ in range(3000)])
        g.add_edges_from([(rng.choice(others), rng.choice(others)) for _ in range(6000)])
        g.add_edges_from([(x, x) for x in wrapping[150:160]] + [(x, INT64_MIN) for x in spreading[::50]])
    return g


def graph(edges=(), nodes=()):
    """A new graph holding `nodes` and then `edges`."""
    g = IntGraphCore()
    g.add_nodes_from(list(nodes))
    g.add_edges_from(list(edges))
    return g


class IndexOnly:
    """An integer-like object known only through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class IndexRaises:
    """An object whose __index__ raises `exc`, or a new ValueError each time
    (which leaves no traceback cycle through the object)."""

    def __init__(self, exc=None):
        self.exc = exc

    def __index__(self):
        if self.exc is None:
            raise ValueError("no index")
        raise self.exc


class CallsBack:
    """A number whose conversion calls `callback` first (to call into the
    graph while a method or function holds it)."""

    def __init__(self, callback, value):
        self.callback, self.value = callback, value

    def __index__(self):
        self.callback()
        return self.value

    def __float__(self):
        self.callback()
        return float(self.value)


class UserSequence:
    """A sequence known only through __len__ and __getitem__; its reported
    length may lie or fail."""

    def __init__(self, items, length=None, length_error=None):
        self.items = list(items)
        self.length = len(self.items) if length is None else length
        self.length_error = length_error

    def __len__(self):
        if self.length_error:
            raise self.length_error
        return self.length

    def __getitem__(self, i):
        return self.items[i]


def interrupt_after(seconds):
    """Raises KeyboardInterrupt from a SIGALRM handler after `seconds`, as
    Ctrl-C would; returns the previous handler, for the caller to restore
    (with the timer cleared) when done."""
    def handler(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    return previous
