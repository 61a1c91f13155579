"""Argument shapes and graph builders shared by the test modules."""

import signal

from arborvane import IntGraphCore


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
