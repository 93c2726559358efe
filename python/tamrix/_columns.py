"""`interpolate_columns` on flat column-after-column arrays, with the counts
checked against the data.

The kernel trusts its counts: it reads only the first nlev_in * ncols values
(a count too small silently ignores the rest) and fails with an internal
error when they run past the end of an array. Here the counts must describe
the arrays exactly, and a mismatch is a ValueError naming both.
"""

from __future__ import annotations

import operator
from typing import Any

import numpy as np

from ._dispatch import as_numpy
from .vertical import interp_to_levels

_FUNCTION = "interpolate_columns"


def _count(name: str, value: Any) -> int:
    try:
        count = operator.index(value)
    except TypeError:
        raise TypeError(f"{_FUNCTION}: {name} must be an integer, not "
                        f"{type(value).__name__}") from None
    if count < 0:
        raise ValueError(f"{_FUNCTION}: {name} must not be negative (got {count})")
    return count


def _flat(name: str, value: Any, nlev_in: int, ncols: int) -> np.ndarray:
    array = as_numpy(_FUNCTION, name, value)
    if array.ndim != 1:
        raise ValueError(f"{_FUNCTION}: {name} must be one-dimensional (got shape "
                         f"{array.shape}); for arrays with a level axis use "
                         f"tamrix.interp_to_levels")
    if array.size != nlev_in * ncols:
        raise ValueError(f"{_FUNCTION}: {name} has {array.size} values, but nlev_in * ncols = "
                         f"{nlev_in} * {ncols} = {nlev_in * ncols}")
    return array


def interpolate_columns(xp_flat: Any, data_flat: Any, new_levels: Any, nlev_in: int,
                        ncols: int) -> np.ndarray:
    """Linear interpolation of ncols columns, given one after the other, to
    common target levels: the arguments of
    `_tamrix_rs.interpolation.interpolate_columns`, checked.

    xp_flat, data_flat: 1-D, nlev_in * ncols values each (any real dtype),
    column j at positions j * nlev_in ... (j + 1) * nlev_in - 1. new_levels:
    1-D targets. Returns the nlev_out * ncols results, column after column
    (NaN outside a column's range), bit-identical to the kernel. Counts that do
    not match the lengths of xp_flat and data_flat raise ValueError. For N-D
    fields with a level axis, `interp_to_levels` does the reshaping.
    """
    nlev_in = _count("nlev_in", nlev_in)
    ncols = _count("ncols", ncols)
    xp = _flat("xp_flat", xp_flat, nlev_in, ncols)
    data = _flat("data_flat", data_flat, nlev_in, ncols)
    if as_numpy(_FUNCTION, "new_levels", new_levels).ndim > 1:
        raise ValueError(f"{_FUNCTION}: new_levels must be one-dimensional")
    if nlev_in == 0 and ncols > 0:
        raise ValueError(f"{_FUNCTION}: nlev_in is 0, but each of the {ncols} columns needs at "
                         f"least one level")
    result = interp_to_levels(data.reshape(ncols, nlev_in), xp.reshape(ncols, nlev_in),
                              new_levels, axis=1)
    return np.asarray(result).reshape(-1)
