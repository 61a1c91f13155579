"""The number of threads that arborvane's parallel calls use."""

from __future__ import annotations

from arborvane._native import arrays as _native

__all__ = ["get_num_threads", "set_num_threads"]


def set_num_threads(n: int) -> None:
    """Set how many threads arborvane's parallel calls use from now on.

    By default the worker pool takes its size from the environment when the
    first parallel call starts: ``RAYON_NUM_THREADS``, else
    ``RAYON_RS_NUM_CPUS``, else one thread per CPU available to the process
    (its affinity mask, capped by a container's CPU quota). This function
    overrides that for the rest of the process, and may be called at any
    time, as often as needed. The next parallel call uses the new count; a
    call already running on another thread keeps the threads it started
    with. Results are the same for every thread count, bit for bit.

    Parameters:
        n: Threads for the parallel calls; ``0`` means one per available CPU
            (as ``RAYON_NUM_THREADS=0``), ``1`` runs everything on the
            calling thread. At most 1024.

    Returns:
        None.

    Raises:
        TypeError: ``n`` is not an integer.
        ValueError: ``n`` is negative or more than 1024.

    Examples:
        >>> import arborvane
        >>> arborvane.set_num_threads(2)
        >>> arborvane.get_num_threads()
        2
        >>> arborvane.set_num_threads(0)  # back to one thread per CPU
    """
    _native.set_worker_threads(n)


def get_num_threads() -> int:
    """The number of threads that the next parallel call uses.

    That is the last :func:`set_num_threads`, else the size that the
    environment gives the worker pool (see :func:`set_num_threads`). Asking
    starts no thread.

    Returns:
        The thread count, at least 1.

    Examples:
        >>> import arborvane
        >>> arborvane.set_num_threads(3)
        >>> arborvane.get_num_threads()
        3
    """
    return int(_native.worker_threads())
