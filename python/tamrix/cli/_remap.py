"""The choice of the model levels a block needs, for the remap engine
`tamrix._kernels.remap_hybrid_to_pressure`, which computes a block in the
file's own layout (outer, level, inner).
"""

from __future__ import annotations

from typing import TYPE_CHECKING

import numpy as np

from .._blocks import ENGINE_KINDS as KINDS
from .._blocks import EngineKind as Kind
from .._hybrid_coordinate import HybridCoordinate

if TYPE_CHECKING:
    from .._blocks import Array

__all__ = ["KINDS", "Kind", "needed_levels", "runs"]
# Levels within this relative distance of a target count as possibly on
# either side of it: ln p can round two nearby pressures to one value.
_TIE_MARGIN = 1e-9
# The kernels' reciprocal of g: heights are phi · this, so a surface height in
# m becomes the geopotential that gives that height back.
INVERSE_GRAVITY = 0.10197671667604852


def needed_levels(coordinate: HybridCoordinate, ps_min: float, ps_max: float,
                  targets: Array, extrapolate: bool) -> Array:
    """Indices (ascending) of the model levels that can take part in the
    result for surface pressures in [ps_min, ps_max].

    For each target: every level whose pressure can lie on either side of it
    (or on it) in some column, and one level beyond them on each side. In a
    column whose pressures change monotonically with the level, the two
    levels bracketing a target are adjacent, so they are among these, and
    every level of the subset before them lies on the same side of the target
    as in the full column: the interpolation finds the same pair and computes
    the same bits. With `extrapolate` the lowest level (largest pressure) is
    added, which the extrapolation starts from.
    """
    nlev = coordinate.hya.size
    if not (np.isfinite(ps_min) and np.isfinite(ps_max)):
        return np.arange(nlev)
    low, high = coordinate.pressure_range(ps_min, ps_max)
    low, high = low * (1.0 - _TIE_MARGIN), high * (1.0 + _TIE_MARGIN)
    keep = np.zeros(nlev, dtype=bool)
    for target in np.asarray(targets, dtype=np.float64).tolist():
        either = np.flatnonzero((low <= target) & (target <= high))
        if either.size:
            keep[max(either[0] - 1, 0):either[-1] + 2] = True
        side = high < target  # the level lies above the target in every column
        pairs = np.flatnonzero(side[:-1] != side[1:])
        keep[pairs] = keep[pairs + 1] = True
    if extrapolate or not keep.any():
        keep[int(np.argmax(high))] = True
    return np.flatnonzero(keep)


def runs(indices: Array) -> list[tuple[int, int]]:
    """Consecutive indices as (start, stop) ranges, to be read slab by slab."""
    if indices.size == 0:
        return []
    breaks = np.flatnonzero(np.diff(indices) != 1)
    starts = np.concatenate(([indices[0]], indices[breaks + 1]))
    stops = np.concatenate((indices[breaks] + 1, [indices[-1] + 1]))
    return [(int(a), int(b)) for a, b in zip(starts, stops)]
