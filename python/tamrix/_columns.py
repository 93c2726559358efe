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

from ._docs import shared_docs
from ._dispatch import as_numpy
from ._typing import ArrayIn, FloatArray
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


@shared_docs
def interpolate_columns(xp_flat: ArrayIn, data_flat: ArrayIn, new_levels: ArrayIn, nlev_in: int,
                        ncols: int) -> FloatArray:
    """Linear interpolation of columns given one after the other, checked.

    The arguments of ``_tamrix_rs.interpolation.interpolate_columns``, of any
    real dtype and as lists too, with the counts checked against the data:
    the kernel trusts its counts (a count too small silently ignores the rest
    of the data, one too large is an internal failure), here counts that do
    not describe the arrays exactly raise ValueError naming both. Values are
    bit-identical to the kernel's. For N-D fields with a level axis,
    `interp_to_levels` does the reshaping.

    Parameters
    ----------
    xp_flat, data_flat : array_like
        1-D, nlev_in * ncols values each: the coordinate (pressure, height,
        ...) and the values of column j at positions j * nlev_in ...
        (j + 1) * nlev_in - 1. A column may run either way.
    new_levels : array_like
        1-D targets, in the unit of `xp_flat`.
    nlev_in : int
        Number of levels per column.
    ncols : int
        Number of columns.

    Returns
    -------
    ndarray
        The nlev_out * ncols results, column after column (NaN outside a
        column's range), in the result type of `xp_flat` and `data_flat`
        (float32 in, float32 out).

    Raises
    ------
    ValueError
        When the counts do not match the lengths, or an array is not 1-D.
    TypeError
        When a count is not an integer.

    See Also
    --------
    interp_to_levels

    References
    ----------
    [[trenberth]]

    Examples
    --------
    >>> import tamrix
    >>> xp = [1000.0, 850.0, 500.0, 1000.0, 700.0, 400.0]   # two columns of 3 levels
    >>> data = [10.0, 20.0, 30.0, 1.0, 2.0, 3.0]
    >>> print(tamrix.interpolate_columns(xp, data, [850.0], nlev_in=3, ncols=2))
    [20.   1.5]
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
