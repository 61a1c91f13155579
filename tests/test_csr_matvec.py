"""The engine's CSR row sums (arborvane.dask's PageRank step): each row
added from `start` in entry order, and broken input refused."""

import numpy as np
import pytest

from arborvane import _native

matvec = _native.arrays.csr_matvec


def test_rows_add_in_entry_order_from_start():
    indptr = np.array([0, 3, 6, 6], dtype=np.int64)
    x = np.array([1e16, 1.0, -1e16])
    # Row 0 cancels the large values before adding 1; row 1 adds 1 (and
    # the start) to 1e16, where they are lost; row 2 is empty.
    indices = np.array([0, 2, 1, 0, 1, 2], dtype=np.int32)
    assert np.asarray(matvec(indptr, indices, None, x, 0.5)).tolist() == [1.0, 0.0, 0.5]
    weights = np.array([1, 1, 3, 1, 1, 1], dtype=np.float32)
    assert np.asarray(matvec(indptr, indices.astype(np.int64), weights, x, 0.0)).tolist() == [3.0, 0.0, 0.0]


def test_broken_arguments_raise():
    indptr = np.array([0, 1, 2], dtype=np.int64)
    with pytest.raises(ValueError, match="valid CSR"):
        matvec(indptr, np.array([1, 7], dtype=np.int32), None, np.zeros(2), 0.0)
    with pytest.raises(ValueError, match="one value per row"):
        matvec(indptr, np.array([1, 0], dtype=np.int32), None, np.zeros(3), 0.0)
    with pytest.raises(TypeError, match="'x'"):
        matvec(indptr, np.array([1, 0], dtype=np.int32), None, np.zeros(2, np.float32), 0.0)
